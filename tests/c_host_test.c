/* A C99 host: the public header compiles as C and the shared library links
 * and answers through plain names. */
#include <stdio.h>

#include "VQ6120_LIB.h"

int main(void) {
    int failures = 0;
    int32_t length = 5;
    uint8_t first = 9, second = 9;
    const uint8_t digits[2] = {0x33, 0x31};

    /* The cast: 32-bit x86 C evaluates the literal in long double precision
     * (FLT_EVAL_METHOD 2), where 1.31 differs from the double returned. */
    if (GetDllVersion() != (double)1.31) { puts("GetDllVersion"); ++failures; }
    if (GetConnectStatus(NULL, 0) != 0) { puts("GetConnectStatus(NULL)"); ++failures; }
    if (SendData(NULL, 0x40, 0, 0, NULL, 0) != 0) { puts("SendData(NULL)"); ++failures; }
    if (GetDataFromEthernet(NULL, NULL, &length, 0) != VQ6120_RECV_CLOSED || length != 0) {
        puts("GetDataFromEthernet(NULL)"); ++failures;
    }
    if (ParseDIStatus(1, digits, 2, &first, &second) != 3 || first != 1 || second != 0) {
        puts("ParseDIStatus"); ++failures;
    }
    ExitVQ6120(NULL);
    return failures == 0 ? 0 : 1;
}
