// A plant's terminals from one task: each shows its station number, counts
// its key presses on the screen and reports its inputs every second; the
// host reconnects terminals that drop and says which fall behind.
//
//   Plant ADDRESS FIRST_PORT COUNT [SECONDS]
// e.g. against a farm: vq6120-sim --terminals 50 --port 41000, then
//   dotnet run --project examples/dotnet -- 127.0.0.1 41000 50 10
// Exits 0 when every terminal was connected at least once.
using System;
using System.Linq;
using System.Net;
using System.Threading;
using Vq6120;

if (args.Length < 3)
{
    Console.Error.WriteLine("usage: Plant ADDRESS FIRST_PORT COUNT [SECONDS]");
    return 2;
}
var address = IPAddress.Parse(args[0]);
int firstPort = int.Parse(args[1]), count = int.Parse(args[2]);
var seconds = TimeSpan.FromSeconds(args.Length > 3 ? double.Parse(args[3]) : 10);

var keys = new int[count];
await using var host = new TerminalHost(
    Enumerable.Range(0, count).Select(i => new IPEndPoint(address, firstPort + i)),
    new TerminalHostOptions { LivenessTimeout = TimeSpan.FromSeconds(10) });

host.Connected += station =>
{
    var t = station.Terminal!;
    t.BeginBatch();  // one write for the whole screen
    t.ClearGraphicScreen();
    t.DrawRectangle(0, 0, 239, 63);
    t.DrawText(8, 8, $"Station {station.Index + 1}");
    t.DrawText(8, 24, $"keys: {keys[station.Index]}");
    t.EndBatch();
    t.SetAutoReport(10);  // inputs every second: also keeps the liveness check fed
};
host.EventReceived += (station, ev) =>
{
    if (ev is KeyEvent)
    {
        keys[station.Index]++;
        station.Terminal!.DrawText(8, 24, $"keys: {keys[station.Index]}");
    }
    else if (ev is not InputsEvent)
    {
        Console.WriteLine($"station {station.Index + 1}: {ev}");
    }
};
host.Disconnected += station => Console.WriteLine($"station {station.Index + 1}: disconnected ({station.LastEnd}), reconnecting");
host.HighWater += station => Console.WriteLine($"station {station.Index + 1}: not keeping up with its screen");
host.CallbackFailed += (station, error) => Console.WriteLine($"station {station?.Index + 1}: {error.Message}");

using var stop = new CancellationTokenSource(seconds);
Console.CancelKeyPress += (_, e) => { e.Cancel = true; stop.Cancel(); };
await host.RunAsync(stop.Token);

int never = host.Stations.Count(s => s.Connections == 0);
Console.WriteLine($"{count - never} of {count} terminals served, {keys.Sum()} key presses");
return never == 0 ? 0 : 1;
