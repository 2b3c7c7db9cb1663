"""The numbers of the library's C header (include/VQ6120_LIB.h), under the
same names without the VQ6120_ prefix; tests/test_constants.py holds them to
the header."""

# What GetDataFromEthernet returned (VQ6120_RECV_*).
RECV_CLOSED, RECV_NOTHING, RECV_CONSUMED, RECV_FRAME_37, RECV_DI_STATUS = 0, 1, 2, 3, 4
RECV_MODEL_NAME, RECV_SERIAL_1, RECV_SERIAL_2, RECV_FRAME_10 = 5, 6, 7, 8
# The largest payload a sending call carries (VQ6120_MAX_PAYLOAD), and the
# largest frame the receive path accepts (VQ6120_MAX_RECEIVE_FRAME).
MAX_PAYLOAD = 65527
MAX_RECEIVE_FRAME = 32768
# The send-queue limits (VQ6120_SEND_QUEUE_MIN, VQ6120_SEND_QUEUE_DEFAULT).
SEND_QUEUE_MIN, SEND_QUEUE_DEFAULT = 65536, 262144
# Seconds a terminal may take nothing while bytes wait for it before the
# queued send mode ends the connection (VQ6120_SEND_STALL_SECONDS).
SEND_STALL_SECONDS = 5
# Why the library refused a call (VQ6120Ex_LastRefusal, VQ6120_REFUSED_*).
REFUSED_NONE, REFUSED_ARGUMENT, REFUSED_QUEUE_FULL, REFUSED_CLOSED = 0, 1, 2, 3
REFUSED_STATE, REFUSED_MEMORY, REFUSED_STALLED = 4, 5, 6

# The terminal's own values, which the header states in words only.
DEFAULT_PORT = 16120
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)
