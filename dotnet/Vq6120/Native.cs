// The library's exports, one declaration each. net8.0 gets source-generated
// LibraryImport stubs (no runtime marshalling, trimming and AOT safe);
// netstandard2.0 the classic DllImport. Every parameter is blittable but the
// handle, which the marshaller holds (AddRef/Release) across each call so
// that Dispose on another thread cannot free it mid-call.
// Written by a generator from the list of exports: keep both halves alike.
using System;
using System.Runtime.InteropServices;
#if NET7_0_OR_GREATER
using System.Runtime.CompilerServices;
#endif

namespace Vq6120;

internal static unsafe partial class Native
{
    internal const string Library = "VQ6120_LIB";
#if NET7_0_OR_GREATER

    [LibraryImport(Library, SetLastError = true), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial TerminalHandle InitialVQ6120(uint address, ushort port);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial void ExitVQ6120(IntPtr handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int GetConnectStatus(TerminalHandle handle, byte timeoutSeconds);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial double GetDllVersion();
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SendData(TerminalHandle handle, byte channel, byte command, byte subcode, byte* data, uint dataLength);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int GetDataFromEthernet(TerminalHandle handle, byte* payloadBuffer, int* payloadLength, byte wait);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ParseDIStatus(int valid, byte* payload, int payloadLength, byte* firstInput, byte* secondInput);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ParseKeypadMessage(int valid, byte* payload, int payloadLength);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ClearGraphicScreen(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawPixel(TerminalHandle handle, short x, short y);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawLine(TerminalHandle handle, short x1, short y1, short x2, short y2);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawRectangle(TerminalHandle handle, short x1, short y1, short x2, short y2, byte mode);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawCircle(TerminalHandle handle, short x, short y, short size, byte mode);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawEllipse(TerminalHandle handle, short x, short y, short sizeA, short sizeB, byte mode);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawRhombus(TerminalHandle handle, short x, short y, short sizeA, short sizeB);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int DrawAText(TerminalHandle handle, short x, short y, byte* text, int textLength);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ClearText(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetScreenCursorPos(TerminalHandle handle, short x, short y);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int WriteText(TerminalHandle handle, byte* text, int textLength, byte flag);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ScrolloneLine(TerminalHandle handle, byte direction);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ClearKeyboard(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int WriteKeyboardText(TerminalHandle handle, byte* text, int textLength, byte flag);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ScrollKeyboardoneLine(TerminalHandle handle, byte direction);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int WriteDOStatus(TerminalHandle handle, byte firstFlag, byte secondFlag);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ReadDIStatus(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetBeeperTime(TerminalHandle handle, byte beeperValue1, byte beeperValue2, byte beeperValue3);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetAutoReportTime(TerminalHandle handle, byte reportTime);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int GetModalName(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetLED(TerminalHandle handle, byte ledValue);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetLCDBacklight(TerminalHandle handle, byte backlightFlag);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SetHostAliveCheck(TerminalHandle handle, byte aliveCheckValue);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SendHostAlive(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int ConfigureCOM(TerminalHandle handle, uint baudRate, byte optionA, byte dataBits, byte stopBits, byte optionB, byte optionC, byte comPort);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int SendCOMData(TerminalHandle handle, byte* data, int dataLength, byte comPort);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial IntPtr VQ6120Ex_GetSocket(TerminalHandle handle);
    [LibraryImport(Library, SetLastError = true), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial TerminalHandle VQ6120Ex_Open(uint address, ushort port, int timeoutMs);
    [LibraryImport(Library, SetLastError = true), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial TerminalHandle VQ6120Ex_StartOpen(uint address, ushort port);
    [LibraryImport(Library, SetLastError = true), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_FinishOpen(TerminalHandle handle, int waitMs);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_BeginBatch(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_EndBatch(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_BufferedBytes(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_SetKeepAlive(TerminalHandle handle, int idleSeconds, int intervalSeconds, int count);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_SetSendQueue(TerminalHandle handle, int limitBytes);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_Flush(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_WaitingBytes(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_LastRefusal(TerminalHandle handle);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_DrawBitmap(TerminalHandle handle, short x, short y, short width, short height, byte* bits, int strideBytes);
    [LibraryImport(Library), UnmanagedCallConv(CallConvs = new[] { typeof(CallConvCdecl) })]
    internal static partial int VQ6120Ex_NextCheck(TerminalHandle handle);
#else
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
    internal static extern TerminalHandle InitialVQ6120(uint address, ushort port);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern void ExitVQ6120(IntPtr handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int GetConnectStatus(TerminalHandle handle, byte timeoutSeconds);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern double GetDllVersion();
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SendData(TerminalHandle handle, byte channel, byte command, byte subcode, byte* data, uint dataLength);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int GetDataFromEthernet(TerminalHandle handle, byte* payloadBuffer, int* payloadLength, byte wait);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ParseDIStatus(int valid, byte* payload, int payloadLength, byte* firstInput, byte* secondInput);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ParseKeypadMessage(int valid, byte* payload, int payloadLength);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ClearGraphicScreen(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawPixel(TerminalHandle handle, short x, short y);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawLine(TerminalHandle handle, short x1, short y1, short x2, short y2);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawRectangle(TerminalHandle handle, short x1, short y1, short x2, short y2, byte mode);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawCircle(TerminalHandle handle, short x, short y, short size, byte mode);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawEllipse(TerminalHandle handle, short x, short y, short sizeA, short sizeB, byte mode);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawRhombus(TerminalHandle handle, short x, short y, short sizeA, short sizeB);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int DrawAText(TerminalHandle handle, short x, short y, byte* text, int textLength);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ClearText(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetScreenCursorPos(TerminalHandle handle, short x, short y);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int WriteText(TerminalHandle handle, byte* text, int textLength, byte flag);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ScrolloneLine(TerminalHandle handle, byte direction);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ClearKeyboard(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int WriteKeyboardText(TerminalHandle handle, byte* text, int textLength, byte flag);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ScrollKeyboardoneLine(TerminalHandle handle, byte direction);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int WriteDOStatus(TerminalHandle handle, byte firstFlag, byte secondFlag);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ReadDIStatus(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetBeeperTime(TerminalHandle handle, byte beeperValue1, byte beeperValue2, byte beeperValue3);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetAutoReportTime(TerminalHandle handle, byte reportTime);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int GetModalName(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetLED(TerminalHandle handle, byte ledValue);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetLCDBacklight(TerminalHandle handle, byte backlightFlag);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SetHostAliveCheck(TerminalHandle handle, byte aliveCheckValue);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SendHostAlive(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int ConfigureCOM(TerminalHandle handle, uint baudRate, byte optionA, byte dataBits, byte stopBits, byte optionB, byte optionC, byte comPort);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int SendCOMData(TerminalHandle handle, byte* data, int dataLength, byte comPort);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern IntPtr VQ6120Ex_GetSocket(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
    internal static extern TerminalHandle VQ6120Ex_Open(uint address, ushort port, int timeoutMs);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
    internal static extern TerminalHandle VQ6120Ex_StartOpen(uint address, ushort port);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
    internal static extern int VQ6120Ex_FinishOpen(TerminalHandle handle, int waitMs);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_BeginBatch(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_EndBatch(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_BufferedBytes(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_SetKeepAlive(TerminalHandle handle, int idleSeconds, int intervalSeconds, int count);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_SetSendQueue(TerminalHandle handle, int limitBytes);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_Flush(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_WaitingBytes(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_LastRefusal(TerminalHandle handle);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_DrawBitmap(TerminalHandle handle, short x, short y, short width, short height, byte* bits, int strideBytes);
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    internal static extern int VQ6120Ex_NextCheck(TerminalHandle handle);
#endif
}
