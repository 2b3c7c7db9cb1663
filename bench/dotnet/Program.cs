// The C# side of bench/dotnet/run.sh.
//   Bench command PORT N        ns per DrawPixel through Terminal, and bytes allocated per call
//   Bench events PORTS... SECONDS   a farm's traffic read by TerminalHost from one task:
//                                events, p50/p99 send-to-event latency, CPU per event
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Runtime.InteropServices;
using System.Threading;
using Vq6120;

if (args[0] == "command")
{
    int port = int.Parse(args[1]);
    long n = long.Parse(args[2]);
    using var t = Terminal.Connect(IPAddress.Loopback, port);
    for (int i = 0; i < 10_000; i++) t.DrawPixel(i % 240, i % 64);  // warm up: tiered JIT
    long before = GC.GetAllocatedBytesForCurrentThread();
    var watch = Stopwatch.StartNew();
    for (long i = 0; i < n; i++) t.DrawPixel((int)(i % 240), (int)(i % 64));
    watch.Stop();
    long allocated = GC.GetAllocatedBytesForCurrentThread() - before;
    Console.WriteLine($"{watch.Elapsed.TotalMilliseconds * 1e6 / n:F1} {(double)allocated / n:F3}");
    return 0;
}

var ports = args.Skip(1).Take(args.Length - 2).Select(int.Parse).ToArray();
double seconds = double.Parse(args[^1]);
var latencies = new List<double>(1 << 20);
long events = 0;
await using var host = new TerminalHost(ports.Select(p => new IPEndPoint(IPAddress.Loopback, p)));
int connected = 0;
host.Connected += _ => connected++;
host.EventReceived += (_, ev) =>
{
    if (ev is not SerialDataEvent s || s.Data.Length != 16) return;
    ulong sent = MemoryMarshal.Read<ulong>(s.Data.Span.Slice(8));
    clock_gettime(1, out var now);
    latencies.Add(((ulong)now.sec * 1_000_000_000UL + (ulong)now.nsec - sent) / 1e6);
    events++;
};
using var stop = new CancellationTokenSource(TimeSpan.FromSeconds(seconds));
var cpu0 = Process.GetCurrentProcess().TotalProcessorTime;
await host.RunAsync(stop.Token);
var cpu = Process.GetCurrentProcess().TotalProcessorTime - cpu0;
latencies.Sort();
double P(double q) => latencies.Count == 0 ? double.NaN : latencies[(int)Math.Min(latencies.Count - 1, q * latencies.Count)];
Console.WriteLine($"terminals {connected} events {events} p50_ms {P(0.5):F3} p99_ms {P(0.99):F3} cpu_us_per_event {cpu.TotalMilliseconds * 1000 / Math.Max(1, events):F1}");
return 0;

[DllImport("libc")] static extern int clock_gettime(int clock, out Timespec ts);
struct Timespec { public long sec; public long nsec; }
