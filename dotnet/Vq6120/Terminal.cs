using System;
using System.Collections.Generic;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Vq6120;

/// <summary>
/// One connection to a VQ6120 terminal. Every command checks its arguments
/// (<see cref="ArgumentOutOfRangeException"/> naming the parameter), sends
/// exactly one frame and returns once the frame was handed to the socket, or
/// in the queued send mode once it was queued. A command the library refuses
/// for any other reason throws <see cref="TerminalRefusedException"/> saying
/// why. Calls on one terminal are made from one thread at a time; separate
/// terminals share nothing. Dispose closes the connection.
/// </summary>
public sealed partial class Terminal : IDisposable
{
    private readonly TerminalHandle handle;
    private byte[]? receiveBuffer;

    private Terminal(TerminalHandle handle, IPEndPoint endPoint)
    {
        this.handle = handle;
        EndPoint = endPoint;
    }

    /// <summary>The terminal's address and port.</summary>
    public IPEndPoint EndPoint { get; }

    /// <summary>The native library's version, e.g. 1.31.</summary>
    public static double LibraryVersion => Native.GetDllVersion();

    /// <summary>True once <see cref="Dispose"/> ran.</summary>
    public bool IsDisposed => handle.IsClosed;

    // ---- Connecting -----------------------------------------------------

    /// <summary>Connects, waiting as long as the system's connect takes.</summary>
    /// <exception cref="IOException">The connect failed; the message says why.</exception>
    public static Terminal Connect(IPAddress address, int port)
    {
        var (a, p) = Endpoint(address, port);
        return Opened(Native.InitialVQ6120(a, p), address, port);
    }

    /// <summary>Connects, giving up after <paramref name="timeout"/> (at least 1 ms).</summary>
    /// <exception cref="IOException">The connect failed or timed out; the message says why.</exception>
    public static Terminal Connect(IPAddress address, int port, TimeSpan timeout)
    {
        var (a, p) = Endpoint(address, port);
        long ms = (long)Math.Ceiling(timeout.TotalMilliseconds);
        if (ms < 1 || ms > int.MaxValue)
            throw new ArgumentOutOfRangeException(nameof(timeout), timeout, "must be 1 ms to 24 days");
        return Opened(Native.VQ6120Ex_Open(a, p, (int)ms), address, port);
    }

    /// <summary>Starts connecting and returns at once; finish with <see cref="FinishConnect"/>
    /// when <see cref="SocketHandle"/> turns writable. Until then commands are refused.</summary>
    public static Terminal StartConnect(IPAddress address, int port)
    {
        var (a, p) = Endpoint(address, port);
        return Opened(Native.VQ6120Ex_StartOpen(a, p), address, port);
    }

    /// <summary>Waits up to <paramref name="wait"/> for a connect begun by <see cref="StartConnect"/>.</summary>
    public ConnectProgress FinishConnect(TimeSpan wait)
    {
        int ms = (int)Math.Min(int.MaxValue, Math.Max(0, Math.Ceiling(wait.TotalMilliseconds)));
        return (ConnectProgress)Native.VQ6120Ex_FinishOpen(handle, ms);
    }

    private static (uint, ushort) Endpoint(IPAddress address, int port)
    {
        if (address is null) throw new ArgumentNullException(nameof(address));
        if (address.AddressFamily != AddressFamily.InterNetwork)
            throw new ArgumentException("must be an IPv4 address", nameof(address));
        Range(port, 1, 65535, nameof(port));
#pragma warning disable CS0618 // the four bytes in memory order, as struct in_addr holds them
        return ((uint)address.Address, (ushort)port);
#pragma warning restore CS0618
    }

    private static Terminal Opened(TerminalHandle h, IPAddress address, int port)
    {
        if (!h.IsInvalid) return new Terminal(h, new IPEndPoint(address, port));
#if NET6_0_OR_GREATER
        int error = Marshal.GetLastPInvokeError();
#else
        int error = Marshal.GetLastWin32Error();
#endif
        h.Dispose();
        string why = Why(error);
        throw new IOException($"connect to {address}:{port}: {why}");
    }

    // errno from the library on Linux; Mono would read it as a Windows code.
    private static string Why(int error) => error switch
    {
        0 => "failed",
        111 when RuntimeInformation.IsOSPlatform(OSPlatform.Linux) => "connection refused",
        110 when RuntimeInformation.IsOSPlatform(OSPlatform.Linux) => "timed out",
        113 when RuntimeInformation.IsOSPlatform(OSPlatform.Linux) => "no route to host",
        101 when RuntimeInformation.IsOSPlatform(OSPlatform.Linux) => "network unreachable",
        _ => new System.ComponentModel.Win32Exception(error).Message,
    };

    /// <summary>Asks for the model name and waits up to <paramref name="timeoutSeconds"/>
    /// (0..255) for it. True when the terminal answers as a VQ6120. Other frames stay queued.</summary>
    public bool Probe(int timeoutSeconds)
    {
        Range(timeoutSeconds, 0, 255, nameof(timeoutSeconds));
        return Native.GetConnectStatus(handle, (byte)timeoutSeconds) == 1;
    }

    /// <summary>Closes the connection; frames still buffered are dropped. Safe to call twice.</summary>
    public void Dispose()
    {
        DisposeReadiness();
        handle.Dispose();
    }

    // ---- Raw frames -----------------------------------------------------

    /// <summary>Sends one frame with the given header bytes and payload (up to
    /// <see cref="Limits.MaxPayload"/> bytes). Nothing else is checked.</summary>
    public unsafe void SendFrame(byte channel, byte command, byte subcode, ReadOnlySpan<byte> data)
    {
        Range(data.Length, 0, Limits.MaxPayload, nameof(data));
        fixed (byte* p = data)
            Check(Native.SendData(handle, channel, command, subcode, p, (uint)data.Length), nameof(SendFrame));
    }

    // ---- Graphic screen -------------------------------------------------

    /// <summary>Clears the graphic screen.</summary>
    public void ClearGraphicScreen() => Check(Native.ClearGraphicScreen(handle), nameof(ClearGraphicScreen));

    /// <summary>Sets one pixel; x 0..239, y 0..63.</summary>
    public void DrawPixel(int x, int y)
    {
        X(x, nameof(x)); Y(y, nameof(y));
        Check(Native.DrawPixel(handle, (short)x, (short)y), nameof(DrawPixel));
    }

    /// <summary>Draws a line between two points.</summary>
    public void DrawLine(int x1, int y1, int x2, int y2)
    {
        X(x1, nameof(x1)); Y(y1, nameof(y1)); X(x2, nameof(x2)); Y(y2, nameof(y2));
        Check(Native.DrawLine(handle, (short)x1, (short)y1, (short)x2, (short)y2), nameof(DrawLine));
    }

    /// <summary>Draws a rectangle by two corners: outlined, or filled when <paramref name="filled"/>.</summary>
    public void DrawRectangle(int x1, int y1, int x2, int y2, bool filled = false)
    {
        X(x1, nameof(x1)); Y(y1, nameof(y1)); X(x2, nameof(x2)); Y(y2, nameof(y2));
        Check(Native.DrawRectangle(handle, (short)x1, (short)y1, (short)x2, (short)y2, Flag(filled)), nameof(DrawRectangle));
    }

    /// <summary>Draws a circle of radius <paramref name="size"/> (0..32) around (x, y).</summary>
    public void DrawCircle(int x, int y, int size, bool filled = false)
    {
        X(x, nameof(x)); Y(y, nameof(y)); Size(size, nameof(size));
        Check(Native.DrawCircle(handle, (short)x, (short)y, (short)size, Flag(filled)), nameof(DrawCircle));
    }

    /// <summary>Draws an ellipse with half-axes <paramref name="sizeA"/> (x) and <paramref name="sizeB"/> (y), each 0..32.</summary>
    public void DrawEllipse(int x, int y, int sizeA, int sizeB, bool filled = false)
    {
        X(x, nameof(x)); Y(y, nameof(y)); Size(sizeA, nameof(sizeA)); Size(sizeB, nameof(sizeB));
        Check(Native.DrawEllipse(handle, (short)x, (short)y, (short)sizeA, (short)sizeB, Flag(filled)), nameof(DrawEllipse));
    }

    /// <summary>Draws a rhombus around (x, y) with half-axes 0..32.</summary>
    public void DrawRhombus(int x, int y, int sizeA, int sizeB)
    {
        X(x, nameof(x)); Y(y, nameof(y)); Size(sizeA, nameof(sizeA)); Size(sizeB, nameof(sizeB));
        Check(Native.DrawRhombus(handle, (short)x, (short)y, (short)sizeA, (short)sizeB), nameof(DrawRhombus));
    }

    /// <summary>Draws text (1..240 characters, each sent as one Latin-1 byte) with its top-left corner at (x, y).</summary>
    public void DrawText(int x, int y, string text) => DrawText(x, y, Latin1(text, stackalloc byte[Limits.MaxTextLength], nameof(text)));

    /// <summary>Draws 1..240 raw bytes of text with its top-left corner at (x, y).</summary>
    public unsafe void DrawText(int x, int y, ReadOnlySpan<byte> text)
    {
        X(x, nameof(x)); Y(y, nameof(y)); TextLength(text.Length, nameof(text));
        fixed (byte* p = text)
            Check(Native.DrawAText(handle, (short)x, (short)y, p, text.Length), nameof(DrawText));
    }

    /// <summary>Draws a bitmap with its top-left pixel at (x, y): each set bit turns its pixel on.
    /// <paramref name="bits"/> holds <paramref name="height"/> rows <paramref name="strideBytes"/> apart,
    /// the most significant bit of a row's first byte leftmost. Sent as one batch of the terminal's own commands.</summary>
    public unsafe void DrawBitmap(int x, int y, int width, int height, ReadOnlySpan<byte> bits, int strideBytes)
    {
        Range(x, 0, Limits.ScreenWidth - 1, nameof(x));
        Range(y, 0, Limits.ScreenHeight - 1, nameof(y));
        Range(width, 1, Limits.ScreenWidth - x, nameof(width));
        Range(height, 1, Limits.ScreenHeight - y, nameof(height));
        Range(strideBytes, (width + 7) / 8, 4096, nameof(strideBytes));
        if (bits.Length < (height - 1) * strideBytes + (width + 7) / 8)
            throw new ArgumentException($"holds {bits.Length} bytes, fewer than {height} rows of {strideBytes}", nameof(bits));
        fixed (byte* p = bits)
            Check(Native.VQ6120Ex_DrawBitmap(handle, (short)x, (short)y, (short)width, (short)height, p, strideBytes), nameof(DrawBitmap));
    }

    // ---- Text screen and keyboard display -------------------------------

    /// <summary>Clears the text screen.</summary>
    public void ClearText() => Check(Native.ClearText(handle), nameof(ClearText));

    /// <summary>Places the text screen's cursor; x 0..239, y 0..63.</summary>
    public void SetCursor(int x, int y)
    {
        X(x, nameof(x)); Y(y, nameof(y));
        Check(Native.SetScreenCursorPos(handle, (short)x, (short)y), nameof(SetCursor));
    }

    /// <summary>Writes 1..240 characters (Latin-1) at the cursor; <paramref name="flag"/> 0 or 1 travels as the subcode.</summary>
    public void WriteText(string text, int flag = 0) => WriteText(Latin1(text, stackalloc byte[Limits.MaxTextLength], nameof(text)), flag);

    /// <summary>Writes 1..240 raw bytes at the cursor.</summary>
    public unsafe void WriteText(ReadOnlySpan<byte> text, int flag = 0)
    {
        TextLength(text.Length, nameof(text)); Range(flag, 0, 1, nameof(flag));
        fixed (byte* p = text)
            Check(Native.WriteText(handle, p, text.Length, (byte)flag), nameof(WriteText));
    }

    /// <summary>Scrolls the text screen by one line; <paramref name="direction"/> 0 one way, 1 the other.</summary>
    public void ScrollText(int direction)
    {
        Range(direction, 0, 1, nameof(direction));
        Check(Native.ScrolloneLine(handle, (byte)direction), nameof(ScrollText));
    }

    /// <summary>Clears the keyboard display.</summary>
    public void ClearKeyboard() => Check(Native.ClearKeyboard(handle), nameof(ClearKeyboard));

    /// <summary>Writes 1..240 characters (Latin-1) to the keyboard display.</summary>
    public void WriteKeyboardText(string text, int flag = 0) => WriteKeyboardText(Latin1(text, stackalloc byte[Limits.MaxTextLength], nameof(text)), flag);

    /// <summary>Writes 1..240 raw bytes to the keyboard display.</summary>
    public unsafe void WriteKeyboardText(ReadOnlySpan<byte> text, int flag = 0)
    {
        TextLength(text.Length, nameof(text)); Range(flag, 0, 1, nameof(flag));
        fixed (byte* p = text)
            Check(Native.WriteKeyboardText(handle, p, text.Length, (byte)flag), nameof(WriteKeyboardText));
    }

    /// <summary>Scrolls the keyboard display by one line; <paramref name="direction"/> 0 or 1.</summary>
    public void ScrollKeyboard(int direction)
    {
        Range(direction, 0, 1, nameof(direction));
        Check(Native.ScrollKeyboardoneLine(handle, (byte)direction), nameof(ScrollKeyboard));
    }

    // ---- Terminal I/O and housekeeping ----------------------------------

    /// <summary>Sets the two digital outputs.</summary>
    public void SetOutputs(bool first, bool second) => Check(Native.WriteDOStatus(handle, Flag(first), Flag(second)), nameof(SetOutputs));

    /// <summary>Asks for the digital inputs; the answer arrives as an <see cref="InputsEvent"/>.</summary>
    public void ReadInputs() => Check(Native.ReadDIStatus(handle), nameof(ReadInputs));

    /// <summary>Drives the beeper with three raw values.</summary>
    public void SetBeeper(byte value1, byte value2, byte value3) => Check(Native.SetBeeperTime(handle, value1, value2, value3), nameof(SetBeeper));

    /// <summary>Has the terminal report its inputs every <paramref name="tenthsOfSecond"/> × 100 ms (0 stops it).</summary>
    public void SetAutoReport(byte tenthsOfSecond) => Check(Native.SetAutoReportTime(handle, tenthsOfSecond), nameof(SetAutoReport));

    /// <summary>Asks for the model name; the answer arrives as a <see cref="ModelNameEvent"/>.</summary>
    public void RequestModelName() => Check(Native.GetModalName(handle), nameof(RequestModelName));

    /// <summary>Sets the LED (a raw value, its meaning lies with the terminal).</summary>
    public void SetLed(byte value) => Check(Native.SetLED(handle, value), nameof(SetLed));

    /// <summary>Switches the LCD backlight on or off.</summary>
    public void SetBacklight(bool on) => Check(Native.SetLCDBacklight(handle, Flag(on)), nameof(SetBacklight));

    /// <summary>Sets up the host-alive check: the terminal expects <see cref="SendHostAlive"/> every
    /// <paramref name="seconds"/> seconds (0 off).</summary>
    public void SetHostAliveCheck(byte seconds) => Check(Native.SetHostAliveCheck(handle, seconds), nameof(SetHostAliveCheck));

    /// <summary>Sends the host-alive signal.</summary>
    public void SendHostAlive() => Check(Native.SendHostAlive(handle), nameof(SendHostAlive));

    // ---- Serial pass-through --------------------------------------------

    /// <summary>Sets serial port <paramref name="port"/> (1 or 2): <paramref name="baudRate"/> one of
    /// 1200..115200, <paramref name="optionA"/> 0..3, <paramref name="dataBits"/> 7 or 8,
    /// <paramref name="stopBits"/> 1 or 2, <paramref name="optionB"/> 0 or 1, <paramref name="optionC"/> any.</summary>
    public void ConfigureSerial(int port, int baudRate, int optionA = 0, int dataBits = 8, int stopBits = 1, int optionB = 0, byte optionC = 0)
    {
        Range(port, 1, 2, nameof(port));
        if (Array.IndexOf(BaudRates, baudRate) < 0)
            throw new ArgumentOutOfRangeException(nameof(baudRate), baudRate, "must be 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200");
        Range(optionA, 0, 3, nameof(optionA)); Range(dataBits, 7, 8, nameof(dataBits));
        Range(stopBits, 1, 2, nameof(stopBits)); Range(optionB, 0, 1, nameof(optionB));
        Check(Native.ConfigureCOM(handle, (uint)baudRate, (byte)optionA, (byte)dataBits, (byte)stopBits, (byte)optionB, optionC, (byte)port),
              nameof(ConfigureSerial));
    }

    /// <summary>The baud rates <see cref="ConfigureSerial"/> takes.</summary>
    public static ReadOnlySpan<int> SupportedBaudRates => BaudRates;
    private static readonly int[] BaudRates = { 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 };

    /// <summary>Sends 1..<see cref="Limits.MaxPayload"/> bytes out of serial port <paramref name="port"/> (1 or 2) in one frame.</summary>
    public unsafe void SendSerial(int port, ReadOnlySpan<byte> data)
    {
        Range(port, 1, 2, nameof(port)); Range(data.Length, 1, Limits.MaxPayload, nameof(data));
        fixed (byte* p = data)
            Check(Native.SendCOMData(handle, p, data.Length, (byte)port), nameof(SendSerial));
    }

    // ---- Batches, keepalive, the queued send mode -------------------------

    /// <summary>From now on commands are collected and <see cref="EndBatch"/> sends them in one write.</summary>
    public void BeginBatch() => Check(Native.VQ6120Ex_BeginBatch(handle), nameof(BeginBatch));

    /// <summary>Sends what the batch collected. In the queued mode a batch refused for a full queue is dropped whole.</summary>
    public void EndBatch() => Check(Native.VQ6120Ex_EndBatch(handle), nameof(EndBatch));

    /// <summary>Bytes received and held by the library: whole frames among them are read without the socket being readable.</summary>
    public int BufferedBytes => Native.VQ6120Ex_BufferedBytes(handle);

    /// <summary>TCP keepalive: after <paramref name="idleSeconds"/> (1..32767) without traffic, probes every
    /// <paramref name="intervalSeconds"/> (1..32767); <paramref name="count"/> (1..127) unanswered close the connection.</summary>
    public void SetKeepAlive(int idleSeconds, int intervalSeconds, int count)
    {
        Range(idleSeconds, 1, 32767, nameof(idleSeconds)); Range(intervalSeconds, 1, 32767, nameof(intervalSeconds));
        Range(count, 1, 127, nameof(count));
        Check(Native.VQ6120Ex_SetKeepAlive(handle, idleSeconds, intervalSeconds, count), nameof(SetKeepAlive));
    }

    /// <summary>Switches TCP keepalive off.</summary>
    public void DisableKeepAlive() => Check(Native.VQ6120Ex_SetKeepAlive(handle, 0, 0, 0), nameof(DisableKeepAlive));

    /// <summary>Puts the terminal in the queued send mode: commands return at once, at most
    /// <paramref name="limitBytes"/> (at least <see cref="Limits.SendQueueMin"/>) wait for the terminal, and a
    /// command that would pass it throws <see cref="TerminalRefusedException"/> with <see cref="Refusal.QueueFull"/>.
    /// While <see cref="Flush"/> returns more than 0, call it again when the socket is writable.</summary>
    public void SetSendQueue(int limitBytes = Limits.SendQueueDefault)
    {
        Range(limitBytes, Limits.SendQueueMin, int.MaxValue, nameof(limitBytes));
        Check(Native.VQ6120Ex_SetSendQueue(handle, limitBytes), nameof(SetSendQueue));
    }

    /// <summary>Back to sending before each command returns; refused while bytes are queued or a batch is open.</summary>
    public void DisableSendQueue() => Check(Native.VQ6120Ex_SetSendQueue(handle, 0), nameof(DisableSendQueue));

    /// <summary>Hands the socket what it takes of the queued bytes, without waiting, and applies the stall rule.
    /// Returns the bytes still queued (0: nothing left). Throws <see cref="TerminalRefusedException"/>
    /// (<see cref="Refusal.Stalled"/> or <see cref="Refusal.Closed"/>) once the connection is over.</summary>
    public int Flush()
    {
        int left = Native.VQ6120Ex_Flush(handle);
        if (left < 0) throw Refused(nameof(Flush));
        return left;
    }

    /// <summary>Bytes waiting for the terminal: the queue plus the system's send buffer.</summary>
    public int WaitingBytes => Native.VQ6120Ex_WaitingBytes(handle);

    /// <summary>Why the last call that sends or changes the terminal was refused; <see cref="Refusal.None"/> when accepted.</summary>
    public Refusal LastRefusal => (Refusal)Native.VQ6120Ex_LastRefusal(handle);

    /// <summary>Milliseconds until the stall rule must next be judged (call <see cref="Flush"/> then);
    /// -1 when nothing waits, outside the queued send mode, or once the connection is over.</summary>
    public int NextCheckMs => Native.VQ6120Ex_NextCheck(handle);

    /// <summary>The connection's socket (a descriptor, or a Windows SOCKET), for waiting on it only:
    /// never read, write or close it.</summary>
    public IntPtr SocketHandle => Native.VQ6120Ex_GetSocket(handle);

    // ---- Receiving ------------------------------------------------------

    /// <summary>Delivers the next event when one is there: buffered already, or readable from the socket
    /// now (or within 10 ms when <paramref name="wait"/>). False when there is none yet. After a
    /// <see cref="ClosedEvent"/> the connection is over.</summary>
    public unsafe bool TryReadEvent(out Event? ev, bool wait = false)
    {
        byte[] buffer = receiveBuffer ??= new byte[Limits.MaxReceiveFrame];
        int length = buffer.Length;
        int result;
        fixed (byte* p = buffer)
            result = Native.GetDataFromEthernet(handle, p, &length, Flag(wait));
        ev = Decode((ReceiveResult)result, new ReadOnlySpan<byte>(buffer, 0, Math.Max(0, Math.Min(length, buffer.Length))));
        return ev is not null;
    }

    private static unsafe Event? Decode(ReceiveResult kind, ReadOnlySpan<byte> payload)
    {
        fixed (byte* p = payload)
        {
            switch (kind)
            {
                case ReceiveResult.Nothing:
                    return null;
                case ReceiveResult.Closed:
                    return ClosedEvent.Instance;
                case ReceiveResult.Frame37 when payload.Length == 1:
                    return new KeyEvent((byte)Native.ParseKeypadMessage(1, p, 1));
                case ReceiveResult.DiStatus:
                    byte first, second;
                    int value = Native.ParseDIStatus(1, p, payload.Length, &first, &second);
                    if (value < 0) break;  // not two digits: delivered raw below
                    return new InputsEvent(value, first != 0, second != 0);
                case ReceiveResult.ModelName:
                    return new ModelNameEvent(Latin1String(payload));
                case ReceiveResult.Serial1:
                    return new SerialDataEvent(1, payload.ToArray());
                case ReceiveResult.Serial2:
                    return new SerialDataEvent(2, payload.ToArray());
            }
        }
        return new FrameEvent(kind, payload.ToArray());
    }

    /// <summary>The terminal's events as they come, until the connection closes (the last event is then a
    /// <see cref="ClosedEvent"/>) or <paramref name="cancellationToken"/> is cancelled
    /// (<see cref="OperationCanceledException"/>). Waits on the terminal's socket without holding a thread.
    /// Commands may be sent between events from the consuming code.</summary>
    public async IAsyncEnumerable<Event> ReadEventsAsync([EnumeratorCancellation] CancellationToken cancellationToken = default)
    {
        while (true)
        {
            cancellationToken.ThrowIfCancellationRequested();
            while (TryReadEvent(out Event? ev))
            {
                yield return ev!;
                if (ev is ClosedEvent) yield break;
                cancellationToken.ThrowIfCancellationRequested();
            }
            await WaitReadableAsync(cancellationToken).ConfigureAwait(false);
        }
    }

    // ---- Checks ---------------------------------------------------------

    private void Check(int result, string operation)
    {
        if (result == 0) throw Refused(operation);
    }

    private Exception Refused(string operation)
    {
        if (handle.IsClosed) return new ObjectDisposedException(nameof(Terminal));
        var reason = LastRefusal;
        return reason == Refusal.Argument
            ? new ArgumentException($"{operation}: the library refused a value as out of range")
            : new TerminalRefusedException(reason, operation);
    }

    private static void Range(int value, int min, int max, string name)
    {
        if (value < min || value > max)
            throw new ArgumentOutOfRangeException(name, value, $"must be {min}..{max}");
    }

    private static void X(int x, string name) => Range(x, 0, Limits.ScreenWidth - 1, name);
    private static void Y(int y, string name) => Range(y, 0, Limits.ScreenHeight - 1, name);
    private static void Size(int size, string name) => Range(size, 0, Limits.MaxShapeSize, name);
    private static void TextLength(int length, string name) => Range(length, 1, Limits.MaxTextLength, name);
    private static byte Flag(bool on) => on ? (byte)1 : (byte)0;

    // Latin-1 into the caller's stack buffer: one byte a character, '?' for what it cannot hold.
    private static ReadOnlySpan<byte> Latin1(string text, Span<byte> buffer, string name)
    {
        if (text is null) throw new ArgumentNullException(name);
        TextLength(text.Length, name);
        for (int i = 0; i < text.Length; i++)
            buffer[i] = text[i] <= '\u00FF' ? (byte)text[i] : (byte)'?';
        return buffer.Slice(0, text.Length);
    }

    private static string Latin1String(ReadOnlySpan<byte> bytes)
    {
        var chars = new char[bytes.Length];
        for (int i = 0; i < bytes.Length; i++) chars[i] = (char)bytes[i];
        return new string(chars);
    }
}
