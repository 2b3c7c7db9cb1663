// A .NET host for a VQ6120 terminal: the library's exports declared through
// P/Invoke exactly as a C# program on Windows declares them (cdecl, 16-bit
// coordinates, byte flags, a double version), then used against a terminal.
//
//   mcs Vq6120Example.cs && mono Vq6120Example.exe 127.0.0.1 16120
// (Vq6120Example.exe.config beside the .exe maps the library to its SONAME;
// LD_LIBRARY_PATH names its folder when it is not installed.)
//
// Exits 0 when every step behaved as the library documents.
using System;
using System.Net;
using System.Runtime.InteropServices;
using System.Text;

static class Vq6120
{
    const string Lib = "VQ6120_LIB";
    const CallingConvention Cc = CallingConvention.Cdecl;

    public const int RecvClosed = 0, RecvNothing = 1, RecvDiStatus = 4, RecvModelName = 5;

    [DllImport(Lib, CallingConvention = Cc)] public static extern IntPtr InitialVQ6120(uint address, ushort port);
    [DllImport(Lib, CallingConvention = Cc)] public static extern void ExitVQ6120(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int GetConnectStatus(IntPtr handle, byte timeoutSeconds);
    [DllImport(Lib, CallingConvention = Cc)] public static extern double GetDllVersion();
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SendData(IntPtr handle, byte channel, byte command, byte subcode, byte[] data, uint dataLength);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int GetDataFromEthernet(IntPtr handle, byte[] payloadBuffer, ref int payloadLength, byte wait);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ParseDIStatus(int valid, byte[] payload, int payloadLength, out byte firstInput, out byte secondInput);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ParseKeypadMessage(int valid, byte[] payload, int payloadLength);

    [DllImport(Lib, CallingConvention = Cc)] public static extern int ClearGraphicScreen(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawPixel(IntPtr handle, short x, short y);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawLine(IntPtr handle, short x1, short y1, short x2, short y2);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawRectangle(IntPtr handle, short x1, short y1, short x2, short y2, byte mode);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawCircle(IntPtr handle, short x, short y, short size, byte mode);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawEllipse(IntPtr handle, short x, short y, short sizeA, short sizeB, byte mode);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawRhombus(IntPtr handle, short x, short y, short sizeA, short sizeB);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int DrawAText(IntPtr handle, short x, short y, byte[] text, int textLength);

    [DllImport(Lib, CallingConvention = Cc)] public static extern int ClearText(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetScreenCursorPos(IntPtr handle, short x, short y);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int WriteText(IntPtr handle, byte[] text, int textLength, byte flag);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ScrolloneLine(IntPtr handle, byte direction);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ClearKeyboard(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int WriteKeyboardText(IntPtr handle, byte[] text, int textLength, byte flag);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ScrollKeyboardoneLine(IntPtr handle, byte direction);

    [DllImport(Lib, CallingConvention = Cc)] public static extern int WriteDOStatus(IntPtr handle, byte firstFlag, byte secondFlag);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int ReadDIStatus(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetBeeperTime(IntPtr handle, byte value1, byte value2, byte value3);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetAutoReportTime(IntPtr handle, byte reportTime);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int GetModalName(IntPtr handle);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetLED(IntPtr handle, byte ledValue);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetLCDBacklight(IntPtr handle, byte backlightFlag);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SetHostAliveCheck(IntPtr handle, byte aliveCheckValue);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SendHostAlive(IntPtr handle);

    [DllImport(Lib, CallingConvention = Cc)] public static extern int ConfigureCOM(IntPtr handle, uint baudRate, byte optionA, byte dataBits, byte stopBits, byte optionB, byte optionC, byte comPort);
    [DllImport(Lib, CallingConvention = Cc)] public static extern int SendCOMData(IntPtr handle, byte[] data, int dataLength, byte comPort);
}

static class Program
{
    static int failures;

    static void Expect(string what, bool ok)
    {
        Console.WriteLine((ok ? "ok   " : "FAIL ") + what);
        if (!ok) failures++;
    }

    static int Main(string[] args)
    {
        string host = args.Length > 0 ? args[0] : "127.0.0.1";
        ushort port = args.Length > 1 ? ushort.Parse(args[1]) : (ushort)16120;
        // The address in network byte order, as it lies in memory.
        uint address = BitConverter.ToUInt32(IPAddress.Parse(host).GetAddressBytes(), 0);

        Expect("version is 1.31", Vq6120.GetDllVersion() == 1.31);
        IntPtr t = Vq6120.InitialVQ6120(address, port);
        if (t == IntPtr.Zero)
        {
            Console.WriteLine("FAIL cannot connect to " + host + ":" + port);
            return 1;
        }
        Expect("probe answers 1", Vq6120.GetConnectStatus(t, 5) == 1);

        byte[] title = Encoding.ASCII.GetBytes("C# host");
        Expect("clear graphic", Vq6120.ClearGraphicScreen(t) == 1);
        Expect("rectangle", Vq6120.DrawRectangle(t, 0, 0, 239, 63, 0) == 1);
        Expect("circle", Vq6120.DrawCircle(t, 200, 32, 20, 1) == 1);
        Expect("text", Vq6120.DrawAText(t, 8, 8, title, title.Length) == 1);
        Expect("text screen", Vq6120.WriteText(t, title, title.Length, 0) == 1);
        Expect("outputs", Vq6120.WriteDOStatus(t, 1, 0) == 1);
        Expect("backlight", Vq6120.SetLCDBacklight(t, 1) == 1);
        Expect("x 240 refused", Vq6120.DrawPixel(t, 240, 0) == 0);
        Expect("mode 2 refused", Vq6120.DrawCircle(t, 1, 1, 1, 2) == 0);
        Expect("baud 9601 refused", Vq6120.ConfigureCOM(t, 9601, 0, 8, 1, 0, 0, 1) == 0);
        Expect("null handle refused", Vq6120.ClearText(IntPtr.Zero) == 0);

        Expect("inputs requested", Vq6120.ReadDIStatus(t) == 1);
        byte[] payload = new byte[64];
        int result = Vq6120.RecvNothing, length = 0;
        for (int i = 0; i < 500 && result != Vq6120.RecvDiStatus && result != Vq6120.RecvClosed; i++)
        {
            length = payload.Length;
            result = Vq6120.GetDataFromEthernet(t, payload, ref length, 1);
        }
        Expect("digital inputs arrive", result == Vq6120.RecvDiStatus && length == 2);
        byte first, second;
        int status = Vq6120.ParseDIStatus(1, payload, length, out first, out second);
        Expect("digital inputs parse", status >= 0 && first <= 1 && (second == 0 || second == 2));
        Console.WriteLine("     inputs: status " + status + " input1 " + first + " input2 " + (second >> 1));

        Vq6120.ExitVQ6120(t);
        Console.WriteLine(failures == 0 ? "all steps passed" : failures + " steps failed");
        return failures == 0 ? 0 : 1;
    }
}
