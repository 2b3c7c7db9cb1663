using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vq6120;

/// <summary>Settings of a <see cref="TerminalHost"/>.</summary>
public sealed class TerminalHostOptions
{
    /// <summary>How long a connect may take before it counts as failed.</summary>
    public TimeSpan ConnectTimeout { get; set; } = TimeSpan.FromSeconds(3);
    /// <summary>The wait before the first reconnect; it doubles with each failure in a row.</summary>
    public TimeSpan MinBackoff { get; set; } = TimeSpan.FromMilliseconds(200);
    /// <summary>The longest wait between reconnects.</summary>
    public TimeSpan MaxBackoff { get; set; } = TimeSpan.FromSeconds(10);
    /// <summary>A terminal that sent nothing for this long is taken as dead and reconnected; after half of it
    /// the host asks for the inputs, so a healthy quiet terminal answers. Zero: no liveness check.</summary>
    public TimeSpan LivenessTimeout { get; set; } = TimeSpan.Zero;
    /// <summary>Each terminal's send-queue limit (the queued send mode, <see cref="Terminal.SetSendQueue"/>).</summary>
    public int SendQueueLimit { get; set; } = Limits.SendQueueDefault;
    /// <summary>Waiting bytes at which <see cref="TerminalHost.HighWater"/> is raised (default: half the limit).</summary>
    public int HighWaterBytes { get; set; }
    /// <summary>How often the host looks at connects, backoffs, liveness and queues.</summary>
    public TimeSpan Tick { get; set; } = TimeSpan.FromMilliseconds(20);
}

/// <summary>One terminal of a <see cref="TerminalHost"/>: its address, and its connection while there is one.</summary>
public sealed class Station
{
    internal Station(IPEndPoint endPoint, int index) => (EndPoint, Index) = (endPoint, index);

    /// <summary>The terminal's address.</summary>
    public IPEndPoint EndPoint { get; }
    /// <summary>Its position in the host's list.</summary>
    public int Index { get; }
    /// <summary>The connection, while connected (or connecting); null otherwise.</summary>
    public Terminal? Terminal { get; internal set; }
    /// <summary>True between <see cref="TerminalHost.Connected"/> and <see cref="TerminalHost.Disconnected"/>.</summary>
    public bool IsConnected { get; internal set; }
    /// <summary>Connections made so far.</summary>
    public int Connections { get; internal set; }
    /// <summary>Why the last connection ended (<see cref="Refusal.None"/> while there was none).</summary>
    public Refusal LastEnd { get; internal set; }

    internal long NextAttempt, ConnectStarted, LastHeard;
    internal int Failures;
    internal bool AboveHighWater, AskedForLife;
}

/// <summary>
/// Serves many terminals from one task: opens each without blocking, reconnects with backoff, checks
/// liveness, keeps every terminal in the queued send mode, flushes the queues and signals a queue past its
/// high-water mark. Every callback runs on the task of <see cref="RunAsync"/>, one at a time: send commands
/// from them freely (or from <see cref="Post"/>). Reading waits on the terminals' sockets; no thread is held
/// per terminal.
/// </summary>
public sealed class TerminalHost : IAsyncDisposable
{
    private readonly Station[] stations;
    private readonly TerminalHostOptions options;
    private readonly ConcurrentQueue<(Station, Terminal)> ready = new();
    private readonly ConcurrentQueue<Action> posted = new();
    private readonly SemaphoreSlim wake = new(0);
    private readonly Stopwatch clock = Stopwatch.StartNew();
    private CancellationToken stopping;

    /// <summary>A host for these terminals; nothing happens before <see cref="RunAsync"/>.</summary>
    public TerminalHost(IEnumerable<IPEndPoint> endPoints, TerminalHostOptions? options = null)
    {
        this.options = options ?? new TerminalHostOptions();
        if (this.options.HighWaterBytes <= 0) this.options.HighWaterBytes = this.options.SendQueueLimit / 2;
        var list = new List<Station>();
        foreach (var endPoint in endPoints) list.Add(new Station(endPoint, list.Count));
        stations = list.ToArray();
    }

    /// <summary>The terminals, in the order given.</summary>
    public IReadOnlyList<Station> Stations => stations;

    /// <summary>A terminal is connected and in the queued send mode.</summary>
    public event Action<Station>? Connected;
    /// <summary>A terminal's connection ended (closed, stalled, dead by the liveness check); the host reconnects.</summary>
    public event Action<Station>? Disconnected;
    /// <summary>A terminal sent something.</summary>
    public event Action<Station, Event>? EventReceived;
    /// <summary>A terminal's waiting bytes passed the high-water mark: it is not keeping up. Raised again only
    /// after they fell below half the mark.</summary>
    public event Action<Station>? HighWater;
    /// <summary>A callback threw; the host goes on.</summary>
    public event Action<Station?, Exception>? CallbackFailed;

    /// <summary>Runs <paramref name="action"/> on the host's task (thread-safe).</summary>
    public void Post(Action action)
    {
        posted.Enqueue(action);
        wake.Release();
    }

    /// <summary>Serves the terminals until <paramref name="cancellationToken"/> is cancelled, then closes them all.</summary>
    public async Task RunAsync(CancellationToken cancellationToken)
    {
        stopping = cancellationToken;
        try
        {
            // Housekeeping runs once a tick, however busy the terminals are: a
            // steady stream of readiness must not starve reconnects, liveness,
            // flushing and the stall rule (nor cost a pass over every terminal
            // per event).
            long tick = Math.Max(1, Ms(options.Tick)), due = 0;
            while (!cancellationToken.IsCancellationRequested)
            {
                if (Now >= due)
                {
                    Housekeeping();
                    due = Now + tick;
                }
                // Work left over when the tick came is done without waiting.
                bool woken = !ready.IsEmpty || !posted.IsEmpty;
                try
                {
                    woken = woken || await wake.WaitAsync(TimeSpan.FromMilliseconds(Math.Max(0, due - Now)), cancellationToken)
                                      .ConfigureAwait(false);
                }
                catch (OperationCanceledException) { break; }
                if (!woken) continue;
                do
                {
                    while (posted.TryDequeue(out var action)) Guard(null, action);
                    while (Now < due && ready.TryDequeue(out var item))
                        if (item.Item1.Terminal == item.Item2) Drain(item.Item1);
                } while (Now < due && wake.Wait(0));
            }
        }
        finally
        {
            foreach (var s in stations) s.Terminal?.Dispose();
        }
    }

    /// <inheritdoc/>
    public ValueTask DisposeAsync()
    {
        foreach (var s in stations) { s.Terminal?.Dispose(); s.Terminal = null; }
        return default;
    }

    private long Now => clock.ElapsedTicks * 1000 / Stopwatch.Frequency;
    private static long Ms(TimeSpan t) => (long)t.TotalMilliseconds;

    private void Housekeeping()
    {
        long now = Now;
        foreach (var s in stations)
        {
            if (s.Terminal is null)
            {
                if (now >= s.NextAttempt) Open(s, now);
            }
            else if (!s.IsConnected)
            {
                Finish(s, now);
            }
            else
            {
                CheckQueue(s);
                if (s.Terminal != null && options.LivenessTimeout > TimeSpan.Zero) CheckLife(s, now);
            }
        }
    }

    private void Open(Station s, long now)
    {
        try
        {
            s.Terminal = Terminal.StartConnect(s.EndPoint.Address, s.EndPoint.Port);
            s.ConnectStarted = now;
            s.Terminal.SetSendQueue(options.SendQueueLimit);  // takes effect once connected
        }
        catch (IOException)
        {
            Backoff(s, now);
        }
    }

    private void Finish(Station s, long now)
    {
        var progress = s.Terminal!.FinishConnect(TimeSpan.Zero);
        if (progress == ConnectProgress.Pending && now - s.ConnectStarted < Ms(options.ConnectTimeout)) return;
        if (progress != ConnectProgress.Connected)
        {
            s.Terminal.Dispose();
            s.Terminal = null;
            Backoff(s, now);
            return;
        }
        s.IsConnected = true;
        s.Connections++;
        s.Failures = 0;
        s.LastHeard = now;
        s.AskedForLife = s.AboveHighWater = false;
        s.LastEnd = Refusal.None;
        Guard(s, () => Connected?.Invoke(s));
        if (s.Terminal != null) Drain(s);  // arms the readiness wait
    }

    private void Backoff(Station s, long now)
    {
        long delay = Math.Min(Ms(options.MaxBackoff), Ms(options.MinBackoff) << Math.Min(s.Failures, 20));
        s.Failures++;
        s.NextAttempt = now + delay;
    }

    private void Drop(Station s, Refusal why)
    {
        var terminal = s.Terminal;
        if (terminal is null) return;
        s.Terminal = null;
        terminal.Dispose();
        bool was = s.IsConnected;
        s.IsConnected = false;
        s.LastEnd = why;
        Backoff(s, Now);
        if (was) Guard(s, () => Disconnected?.Invoke(s));
    }

    private void Drain(Station s)
    {
        var terminal = s.Terminal!;
        while (terminal.TryReadEvent(out var ev))
        {
            if (ev is ClosedEvent)
            {
                Drop(s, terminal.LastRefusal is Refusal.Stalled ? Refusal.Stalled : Refusal.Closed);
                return;
            }
            s.LastHeard = Now;
            s.AskedForLife = false;
            Guard(s, () => EventReceived?.Invoke(s, ev!));
            if (s.Terminal != terminal) return;  // a callback closed it
        }
        _ = Watch(s, terminal);
    }

    // Waits for the socket to turn readable and hands the station to the loop.
    private async Task Watch(Station s, Terminal terminal)
    {
        try { await terminal.WaitReadableAsync(stopping).ConfigureAwait(false); }
        catch (OperationCanceledException) { return; }
        catch (ObjectDisposedException) { return; }
        ready.Enqueue((s, terminal));
        wake.Release();
    }

    private void CheckQueue(Station s)
    {
        var terminal = s.Terminal!;
        // Nothing waits for it as far as the library knows: no system call
        // for this terminal this tick (the common case, and per terminal).
        if (terminal.NextCheckMs < 0)
        {
            s.AboveHighWater = false;
            return;
        }
        try
        {
            if (terminal.WaitingBytes > 0) terminal.Flush();
        }
        catch (TerminalRefusedException e)
        {
            Drop(s, e.Reason);
            return;
        }
        int waiting = terminal.WaitingBytes;
        if (!s.AboveHighWater && waiting >= options.HighWaterBytes)
        {
            s.AboveHighWater = true;
            Guard(s, () => HighWater?.Invoke(s));
        }
        else if (s.AboveHighWater && waiting < options.HighWaterBytes / 2)
        {
            s.AboveHighWater = false;
        }
    }

    private void CheckLife(Station s, long now)
    {
        long quiet = now - s.LastHeard;
        if (quiet >= Ms(options.LivenessTimeout))
        {
            Drop(s, Refusal.Closed);
        }
        else if (!s.AskedForLife && quiet >= Ms(options.LivenessTimeout) / 2)
        {
            s.AskedForLife = true;
            try { s.Terminal!.ReadInputs(); }
            catch (TerminalRefusedException e) { Drop(s, e.Reason); }
        }
    }

    private void Guard(Station? s, Action action)
    {
        try { action(); }
        catch (Exception e) when (e is not OutOfMemoryException)
        {
            CallbackFailed?.Invoke(s, e);
        }
    }
}
