// The C# side of bench/dotnet/run.sh.
//   Bench command PORT N        ns per DrawPixel through Terminal (wall clock, the thread's CPU), and bytes allocated per call
//   Bench events PORTS... SECONDS   a farm's traffic read by TerminalHost from one task:
//                                events, p50/p99 send-to-event latency, CPU per event
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Vq6120;

const int ThreadCpuClock = 3;  // CLOCK_THREAD_CPUTIME_ID

if (args[0] == "command")
{
    int port = int.Parse(args[1]);
    long n = long.Parse(args[2]);
    using var t = Terminal.Connect(IPAddress.Loopback, port);
    // Warm-up: half a second of calls, so that tiered JIT has compiled the path at its last tier.
    for (var warm = Stopwatch.StartNew(); warm.ElapsedMilliseconds < 500;) t.DrawPixel(1, 1);
    long before = GC.GetAllocatedBytesForCurrentThread();
    var watch = Stopwatch.StartNew();
    ulong threadCpu0 = Clock(ThreadCpuClock);
    for (long i = 0; i < n; i++) t.DrawPixel((int)(i % 240), (int)(i % 64));
    ulong threadCpu = Clock(ThreadCpuClock) - threadCpu0;
    watch.Stop();
    long allocated = GC.GetAllocatedBytesForCurrentThread() - before;
    Console.WriteLine($"{watch.Elapsed.TotalMilliseconds * 1e6 / n:F1} {(double)threadCpu / n:F1} {(double)allocated / n:F3}");
    return 0;
}

// Measured once every terminal is connected and two seconds went by, in which
// run.sh starts the traffic
// (connects and JIT excluded): only events sent after the start count, and
// the CPU of the whole process (the host's task, the socket engine's threads,
// the GC) from the start to the end.
var ports = args.Skip(1).Take(args.Length - 2).Select(int.Parse).ToArray();
double seconds = double.Parse(args[^1]);
var latencies = new List<double>(1 << 20);
long events = 0;
bool measuring = false;
ulong since = 0;
await using var host = new TerminalHost(ports.Select(p => new IPEndPoint(IPAddress.Loopback, p)));
int connected = 0, lost = 0;
host.Connected += _ => connected++;
host.Disconnected += _ => lost++;
host.EventReceived += (_, ev) =>
{
    if (!measuring || ev is not SerialDataEvent s || s.Data.Length != 16) return;
    ulong sent = MemoryMarshal.Read<ulong>(s.Data.Span.Slice(8));
    if (sent < since) return;
    latencies.Add((Monotonic() - sent) / 1e6);
    events++;
};
using var stop = new CancellationTokenSource();
var running = host.RunAsync(stop.Token);
var giveUp = Stopwatch.StartNew();
while (Volatile.Read(ref connected) < ports.Length)
{
    if (giveUp.Elapsed > TimeSpan.FromSeconds(30)) throw new TimeoutException($"only {connected} of {ports.Length} connected");
    await Task.Delay(50);
}
Console.WriteLine($"connected {connected}");  // run.sh starts the traffic now
await Task.Delay(TimeSpan.FromSeconds(2));
TimeSpan cpu0 = default, cpu = default;
var onHost = new SemaphoreSlim(0);
host.Post(() => { since = Monotonic(); measuring = true; lost = 0; cpu0 = Process.GetCurrentProcess().TotalProcessorTime; onHost.Release(); });
await onHost.WaitAsync();
await Task.Delay(TimeSpan.FromSeconds(seconds));
host.Post(() => { measuring = false; cpu = Process.GetCurrentProcess().TotalProcessorTime - cpu0; onHost.Release(); });
await onHost.WaitAsync();
stop.Cancel();
await running;
latencies.Sort();
double P(double q) => latencies.Count == 0 ? double.NaN : latencies[(int)Math.Min(latencies.Count - 1, q * latencies.Count)];
Console.WriteLine($"terminals {connected} lost {lost} events {events} p50_ms {P(0.5):F3} p99_ms {P(0.99):F3} " +
                  $"cpu_us_per_event {cpu.TotalMilliseconds * 1000 / Math.Max(1, events):F1}");
return lost == 0 && events > 0 ? 0 : 1;

static ulong Monotonic() => Clock(1);

static ulong Clock(int which)
{
    clock_gettime(which, out var now);
    return (ulong)now.sec * 1_000_000_000UL + (ulong)now.nsec;
}

[DllImport("libc")] static extern int clock_gettime(int clock, out Timespec ts);
struct Timespec { public long sec; public long nsec; }
