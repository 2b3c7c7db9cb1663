using System;
using System.Collections.Concurrent;
using System.Linq;
using System.Net;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace Vq6120.Tests;

// TerminalHost against a farm of virtual terminals in its own process.
public sealed class HostTests : IDisposable
{
    private const int Count = 200;
    private readonly Simulator farm = new(terminals: Count);
    private readonly CancellationTokenSource stop = new();
    private readonly TerminalHost host;
    private readonly Task running;
    private readonly ConcurrentQueue<string> happened = new();
    private readonly SemaphoreSlim news = new(0);

    public HostTests()
    {
        host = new TerminalHost(farm.Ports.Select(p => new IPEndPoint(IPAddress.Loopback, p)),
                                new TerminalHostOptions { MinBackoff = TimeSpan.FromMilliseconds(50), SendQueueLimit = Limits.SendQueueMin });
        host.Connected += s => Note($"connected {s.Index}");
        host.Disconnected += s => Note($"disconnected {s.Index} {s.LastEnd}");
        host.EventReceived += (s, e) => Note($"{s.Index} {e}");
        host.HighWater += s => Note($"high water {s.Index}");
        host.CallbackFailed += (s, e) => Note($"callback failed {s?.Index}: {e.Message}");
        running = Task.Run(() => host.RunAsync(stop.Token));
    }

    private void Note(string what)
    {
        happened.Enqueue(what);
        news.Release();
    }

    // Waits (30 s at most) until `count` notes that match have come, taking them out.
    private void Expect(Func<string, bool> match, int count = 1)
    {
        var deadline = DateTime.UtcNow.AddSeconds(30);
        var kept = new ConcurrentQueue<string>();
        while (count > 0)
        {
            while (count > 0 && happened.TryDequeue(out var note))
            {
                if (match(note)) count--;
                else kept.Enqueue(note);
            }
            if (count > 0 && !news.Wait(deadline - DateTime.UtcNow > TimeSpan.Zero ? deadline - DateTime.UtcNow : TimeSpan.Zero))
                throw new TimeoutException($"{count} still missing; seen: {string.Join(", ", kept.Take(20))}; host {running.Status} {running.Exception?.InnerException}");
        }
        foreach (var note in kept) happened.Enqueue(note);
    }

    // Runs `action` on the host's task and waits for it (30 s at most, or `limit`).
    private void OnHost(Action action, TimeSpan? limit = null)
    {
        var done = new TaskCompletionSource<bool>();
        host.Post(() => { try { action(); done.SetResult(true); } catch (Exception e) { done.SetException(e); } });
        done.Task.Within(limit ?? TimeSpan.FromSeconds(30)).GetAwaiter().GetResult();
    }

    public void Dispose()
    {
        stop.Cancel();
        running.Within(TimeSpan.FromSeconds(30)).GetAwaiter().GetResult();
        farm.Dispose();
    }

    [Fact]
    public void ServesEveryTerminalAndReconnectsOneThatDropped()
    {
        Expect(n => n.StartsWith("connected "), Count);
        farm.Command("wait connect");
        farm.Command("key 9");
        Expect(n => n.EndsWith(" key 9"), Count);
        farm.Command("on 17 drop");
        Expect(n => n == "disconnected 17 Closed");
        Expect(n => n == "connected 17");
        Assert.Equal(2, host.Stations[17].Connections);
        Assert.All(host.Stations.Where(s => s.Index != 17), s => Assert.Equal(1, s.Connections));
    }

    // A task that completes when the host raises `subscribe`'s event for station `index`.
    private static Task When(Action<Action<Station>> subscribe, int index)
    {
        var seen = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
        subscribe(s => { if (s.Index == index) seen.TrySetResult(true); });
        return seen.Task;
    }

    // Runs `step` on the host, then waits up to `pause` for `done`, again and again until it
    // completes; fails saying `what` once the deadline passed.
    private void Repeat(Task done, DateTime deadline, string what, Action step, TimeSpan pause)
    {
        while (!done.IsCompleted)
        {
            var left = deadline - DateTime.UtcNow;
            if (left <= TimeSpan.Zero)
            {
                string state = "";
                OnHost(() => state = host.Stations[3].Terminal is { } t
                    ? $"waiting {t.WaitingBytes}, next check in {t.NextCheckMs} ms, last refusal {t.LastRefusal}" : "no connection");
                throw new TimeoutException($"{what}: not within the test's bound; terminal 3: {state}; seen: {string.Join(", ", happened.Take(20))}");
            }
            OnHost(step, left);
            done.Wait(pause < left ? pause : left);
        }
    }

    [Fact]
    public void AFrozenTerminalIsRefusedThenLostWhileTheOthersGoOn()
    {
        // The whole case is bounded by events and by the library's stall bound
        // (VQ6120_SEND_STALL_SECONDS), with a wide margin for a loaded machine.
        var deadline = DateTime.UtcNow.AddSeconds(90);
        var highWater = When(h => host.HighWater += h, 3);
        var lost = When(h => host.Disconnected += h, 3);
        Expect(n => n.StartsWith("connected "), Count);
        int from = farm.OutputCount;
        farm.Command("on 3 freeze");
        farm.Command("on 3 status");  // answers once the freeze is in effect
        farm.WaitForOutput(l => l.StartsWith("terminal 3 ") && l.Contains("frozen"), from);
        // Fill its queue until refused, again whenever the system's buffers
        // took more (a frozen terminal's system still takes a sliver now and
        // then), until the waiting bytes stay above the high-water mark for
        // the host's next look.
        var text = new byte[240];
        TerminalRefusedException? refused = null;
        void Fill()
        {
            try
            {
                for (var frozen = host.Stations[3].Terminal; frozen != null;) frozen.WriteText(text);
            }
            catch (TerminalRefusedException e) { refused ??= e; }
        }
        Repeat(highWater, deadline, "the frozen terminal's high-water signal", Fill, TimeSpan.FromMilliseconds(100));
        Assert.NotNull(refused);
        Assert.Equal(Refusal.QueueFull, refused!.Reason);
        // The others are unaffected: a command and an answer on each.
        OnHost(() => { foreach (var s in host.Stations.Where(s => s.Index != 3)) s.Terminal!.RequestModelName(); });
        Expect(n => n.EndsWith(" model VQ6120-SIM"), Count - 1);
        // The frozen one is cut off by the stall rule once its queue stayed
        // full for the library's bound without it reading (the host keeps it
        // full, so more waits than the slivers its system takes), then served
        // again once it reads.
        Repeat(lost, deadline, "the frozen terminal cut off as stalled", Fill, TimeSpan.FromMilliseconds(200));
        Expect(n => n == "disconnected 3 Stalled");
        farm.Command("on 3 thaw");
        Expect(n => n == "connected 3");
    }
}
