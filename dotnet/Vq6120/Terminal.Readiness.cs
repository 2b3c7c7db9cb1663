using System;
using System.Net.Sockets;
using System.Threading;
using System.Threading.Tasks;

namespace Vq6120;

public sealed partial class Terminal
{
#if NET5_0_OR_GREATER
    // A Socket over the library's own descriptor, not owning it: its zero-byte
    // receive completes when the descriptor turns readable (or the peer
    // closes) and takes nothing, so the bytes stay for GetDataFromEthernet.
    // The runtime's socket engine does the waiting; no thread is held.
    private Socket? readiness;

    internal async ValueTask WaitReadableAsync(CancellationToken cancellationToken)
    {
        readiness ??= new Socket(new SafeSocketHandle(SocketHandle, ownsHandle: false));
        try
        {
            await readiness.ReceiveAsync(Memory<byte>.Empty, SocketFlags.None, cancellationToken).ConfigureAwait(false);
        }
        catch (SocketException)
        {
            // A reset or a failed read: the next GetDataFromEthernet reports it as closed.
        }
    }

    private void DisposeReadiness()
    {
        readiness?.Dispose();
        readiness = null;
    }
#else
    // netstandard2.0 has no way to wrap a foreign descriptor in a Socket, so
    // this build looks again after a short timer wait: no thread is held,
    // an event waits at most PollInterval longer.
    internal static readonly TimeSpan PollInterval = TimeSpan.FromMilliseconds(2);

    internal Task WaitReadableAsync(CancellationToken cancellationToken) => Task.Delay(PollInterval, cancellationToken);

    private void DisposeReadiness() { }
#endif
}
