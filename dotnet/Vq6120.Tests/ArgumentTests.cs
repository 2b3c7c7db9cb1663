using System;
using System.Threading;
using Xunit;

namespace Vq6120.Tests;

// Each range at both ends: the value just outside is an
// ArgumentOutOfRangeException naming the parameter and sends nothing; the
// value at the end is accepted (its frame checked in WireTests or here).
public sealed class ArgumentTests : SimulatorTest
{
    // (parameter, call with a value, lowest accepted, highest accepted)
    public static readonly TheoryData<string, Action<Terminal, int>, int, int> Ranges = new()
    {
        { "x", (t, v) => t.DrawPixel(v, 0), 0, 239 },
        { "y", (t, v) => t.DrawPixel(0, v), 0, 63 },
        { "x2", (t, v) => t.DrawLine(0, 0, v, 0), 0, 239 },
        { "y1", (t, v) => t.DrawRectangle(0, v, 0, 0), 0, 63 },
        { "size", (t, v) => t.DrawCircle(0, 0, v), 0, 32 },
        { "sizeB", (t, v) => t.DrawEllipse(0, 0, 0, v), 0, 32 },
        { "sizeA", (t, v) => t.DrawRhombus(0, 0, v, 0), 0, 32 },
        { "text", (t, v) => t.DrawText(0, 0, new string('a', v)), 1, 240 },
        { "text", (t, v) => t.WriteText(new byte[v]), 1, 240 },
        { "flag", (t, v) => t.WriteKeyboardText("a", v), 0, 1 },
        { "direction", (t, v) => t.ScrollText(v), 0, 1 },
        { "direction", (t, v) => t.ScrollKeyboard(v), 0, 1 },
        { "port", (t, v) => t.ConfigureSerial(v, 9600), 1, 2 },
        { "optionA", (t, v) => t.ConfigureSerial(1, 9600, optionA: v), 0, 3 },
        { "dataBits", (t, v) => t.ConfigureSerial(1, 9600, dataBits: v), 7, 8 },
        { "stopBits", (t, v) => t.ConfigureSerial(1, 9600, stopBits: v), 1, 2 },
        { "optionB", (t, v) => t.ConfigureSerial(1, 9600, optionB: v), 0, 1 },
        { "port", (t, v) => t.SendSerial(v, new byte[1]), 1, 2 },
        { "data", (t, v) => t.SendSerial(1, new byte[v]), 1, Limits.MaxPayload },
        { "data", (t, v) => t.SendFrame(0x40, 0x7E, 0, new byte[v]), 0, Limits.MaxPayload },
        { "timeoutSeconds", (t, v) => t.Probe(v), 0, 255 },
        { "idleSeconds", (t, v) => t.SetKeepAlive(v, 1, 1), 1, 32767 },
        { "intervalSeconds", (t, v) => t.SetKeepAlive(1, v, 1), 1, 32767 },
        { "count", (t, v) => t.SetKeepAlive(1, 1, v), 1, 127 },
        { "width", (t, v) => t.DrawBitmap(0, 0, v, 1, new byte[64], 30), 1, 240 },
        { "height", (t, v) => t.DrawBitmap(0, 0, 1, v, new byte[64], 1), 1, 64 },
        { "x", (t, v) => t.DrawBitmap(v, 0, 1, 1, new byte[1], 1), 0, 239 },
        { "strideBytes", (t, v) => t.DrawBitmap(0, 0, 9, 1, new byte[4096], v), 2, 4096 },
    };

    [Theory]
    [MemberData(nameof(Ranges))]
    public void BothEndsOfEachRange(string parameter, Action<Terminal, int> call, int lowest, int highest)
    {
        foreach (int outside in new[] { lowest - 1, highest + 1 })
        {
            if (outside < 0 && parameter is "text" or "data") continue;  // no negative lengths
            var error = Assert.Throws<ArgumentOutOfRangeException>(() => call(terminal, outside));
            Assert.Equal(parameter, error.ParamName);
        }
        call(terminal, lowest);
        call(terminal, highest);
        Assert.Equal(Refusal.None, terminal.LastRefusal);
    }

    [Fact]
    public void BaudRatesOutsideTheTableAndSendQueueBelowItsMinimum()
    {
        foreach (int rate in new[] { 0, 1199, 1201, 115201, -1 })
            Assert.Equal("baudRate", Assert.Throws<ArgumentOutOfRangeException>(() => terminal.ConfigureSerial(1, rate)).ParamName);
        Assert.Equal("limitBytes", Assert.Throws<ArgumentOutOfRangeException>(() => terminal.SetSendQueue(Limits.SendQueueMin - 1)).ParamName);
        terminal.SetSendQueue(Limits.SendQueueMin);
        Assert.Equal("port", Assert.Throws<ArgumentOutOfRangeException>(() => Terminal.Connect(System.Net.IPAddress.Loopback, 0)).ParamName);
        Assert.Equal("port", Assert.Throws<ArgumentOutOfRangeException>(() => Terminal.Connect(System.Net.IPAddress.Loopback, 65536)).ParamName);
        Assert.Throws<ArgumentException>(() => Terminal.Connect(System.Net.IPAddress.IPv6Loopback, 1));
    }

    [Fact]
    public void RefusalsSayWhy()
    {
        terminal.BeginBatch();
        var nested = Assert.Throws<TerminalRefusedException>(() => terminal.BeginBatch());
        Assert.Equal(Refusal.State, nested.Reason);
        Assert.Contains("BeginBatch refused: not in the terminal's present state", nested.Message);
        terminal.EndBatch();
        terminal.SetSendQueue();  // in this mode a connection that is over refuses commands
        sim.Kill();
        Event? ev;
        while (!terminal.TryReadEvent(out ev, wait: true) || ev is not ClosedEvent) { }
        // The first send after the peer's end may still be taken (its reset comes back after it).
        var closed = Assert.Throws<TerminalRefusedException>(() =>
        {
            for (int i = 0; i < 100; i++) { terminal.SetLed(1); Thread.Sleep(10); }
        });
        Assert.Equal(Refusal.Closed, closed.Reason);
        Assert.Contains("SetLed refused: the connection is over", closed.Message);
    }

    [Fact]
    public void ConnectFailureSaysWhy()
    {
        int port = sim.Port;
        sim.Kill();
        var error = Assert.Throws<System.IO.IOException>(() => Terminal.Connect(System.Net.IPAddress.Loopback, port, TimeSpan.FromSeconds(2)));
        Assert.Contains("refused", error.Message, StringComparison.OrdinalIgnoreCase);
    }
}
