using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Vq6120;

/// <summary>The library's handle of one connection. Released exactly once, by
/// <see cref="Terminal.Dispose"/> or by the finalizer, never both.</summary>
internal sealed class TerminalHandle : SafeHandle
{
    private static long released;

    /// <summary>Handles released over the process's life: the tests count them.</summary>
    internal static long Released => Interlocked.Read(ref released);

    public TerminalHandle() : base(IntPtr.Zero, ownsHandle: true) { }

    public override bool IsInvalid => handle == IntPtr.Zero;

    protected override bool ReleaseHandle()
    {
        Native.ExitVQ6120(handle);
        Interlocked.Increment(ref released);
        return true;
    }
}
