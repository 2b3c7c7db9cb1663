using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace Vq6120.Tests;

public sealed class EventTests : SimulatorTest
{
    private static readonly TimeSpan Limit = TimeSpan.FromSeconds(10);

    private async Task<Event> NextAsync(Func<Event, bool> wanted)
    {
        using var cts = new CancellationTokenSource(Limit);
        await foreach (var ev in terminal.ReadEventsAsync(cts.Token))
            if (wanted(ev)) return ev;
        throw new InvalidOperationException("the events ended");
    }

    // Each event type, caused from the operator's side or by a request.
    public static readonly TheoryData<string, string?, Action<Terminal>?, string> Causes = new()
    {
        { "key", "key 200", null, "key 200" },
        { "inputs", "di 0 1", t => t.ReadInputs(), "inputs 0 1" },
        { "serial 1", "serial 1 \"abc\"", null, "serial 1: 3 bytes" },
        { "serial 2", "serial 2 \"T=21\\r\\n\"", null, "serial 2: 6 bytes" },
        { "model", null, t => t.RequestModelName(), "model VQ6120-SIM" },
    };

    [Theory]
    [MemberData(nameof(Causes))]
    public async Task EachEventType(string name, string? operatorCommand, Action<Terminal>? request, string expected)
    {
        if (operatorCommand != null)
        {
            int from = sim.LogCount;
            sim.Command(operatorCommand);
            if (operatorCommand.StartsWith("di")) sim.WaitForLog(l => true, from);  // applied before the request
        }
        request?.Invoke(terminal);
        var ev = await NextAsync(e => e is not FrameEvent && e.GetType().Name.StartsWith(char.ToUpper(expected[0]) + expected.Substring(1, 2), StringComparison.OrdinalIgnoreCase));
        Assert.Equal(expected, ev.ToString());
        if (ev is SerialDataEvent serial)
            Assert.Equal(name == "serial 1" ? "abc" : "T=21\r\n", Encoding.ASCII.GetString(serial.Data.ToArray()));
    }

    [Fact]
    public async Task ClosedEndsTheSequence()
    {
        sim.Kill();
        var all = new List<Event>();
        using var cts = new CancellationTokenSource(Limit);
        await foreach (var ev in terminal.ReadEventsAsync(cts.Token)) all.Add(ev);
        Assert.IsType<ClosedEvent>(all.Last());
    }

    [Fact]
    public async Task CancellationWhileWaitingEndsTheReadPromptly()
    {
        using var cts = new CancellationTokenSource();
        var reading = Task.Run(async () =>
        {
            await foreach (var _ in terminal.ReadEventsAsync(cts.Token)) { }
        });
        Assert.False(reading.IsCompleted);
        cts.Cancel();
        var error = await Record.ExceptionAsync(() => reading.Within(Limit));
        Assert.IsAssignableFrom<OperationCanceledException>(error);
        // The terminal still works and nothing was lost: the next key arrives.
        sim.Command("key 7");
        Assert.Equal("key 7", (await NextAsync(e => e is KeyEvent)).ToString());
    }

    [Fact]
    public async Task ManyReadersHoldNoThreads()
    {
        // 200 terminals of a farm each awaiting events: the thread pool is not
        // grown by them (a blocked thread per reader would need 200).
        using var farm = new Simulator(terminals: 200);
        var terminals = farm.Ports.Select((_, i) => farm.Connect(i)).ToArray();
        using var cts = new CancellationTokenSource();
#if NET
        int threadsBefore = ThreadPool.ThreadCount;
#endif
        var readers = terminals.Select(t => Task.Run(async () =>
        {
            await foreach (var ev in t.ReadEventsAsync(cts.Token))
                if (ev is KeyEvent) return;
        })).ToArray();
        farm.Command("key 1");
        await Task.WhenAll(readers).Within(Limit);
#if NET
        Assert.True(ThreadPool.ThreadCount < threadsBefore + 20, $"{ThreadPool.ThreadCount} threads, {threadsBefore} before");
#endif
        foreach (var t in terminals) t.Dispose();
    }
}

public class HandleTests
{
    [MethodImpl(MethodImplOptions.NoInlining)]
    private static void Abandon(Simulator sim, int count)
    {
        for (int i = 0; i < count; i++) sim.Connect();
    }

    [Fact]
    public void ReleasedExactlyOnceWithDisposeAndFinalizerRacing()
    {
        using var sim = new Simulator();
        long before = TerminalHandle.Released;
        const int rounds = 50;
        for (int i = 0; i < rounds; i++)
        {
            var t = sim.Connect();
            // Dispose from two threads at once while a third sends.
            using var go = new Barrier(3);
            var threads = new[]
            {
                new Thread(() => { go.SignalAndWait(); t.Dispose(); }),
                new Thread(() => { go.SignalAndWait(); t.Dispose(); }),
                new Thread(() => { go.SignalAndWait(); try { t.SetLed(1); } catch (ObjectDisposedException) { } }),
            };
            foreach (var th in threads) th.Start();
            foreach (var th in threads) th.Join();
        }
        // Dropped without Dispose: the finalizer releases them; Dispose afterwards is harmless.
        // On a thread of their own, so that no stack (Mono scans it conservatively) still holds one.
        var abandon = new Thread(() => Abandon(sim, rounds));
        abandon.Start();
        abandon.Join();
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
        Assert.Equal(2 * rounds, TerminalHandle.Released - before);
    }

    [Fact]
    public void CommandsAfterDisposeThrowObjectDisposed()
    {
        using var sim = new Simulator();
        var t = sim.Connect();
        t.Dispose();
        Assert.True(t.IsDisposed);
        Assert.Throws<ObjectDisposedException>(() => t.DrawPixel(0, 0));
        t.Dispose();
    }
}
