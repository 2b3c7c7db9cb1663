using System;
using System.Linq;
using Xunit;

[assembly: CollectionBehavior(DisableTestParallelization = true)]

namespace Vq6120.Tests;

// Every command's frame as the virtual terminal received it: channel,
// command, subcode, total length and payload bytes, from its frame log.
public sealed class WireTests : SimulatorTest
{
    public static readonly TheoryData<string, Action<Terminal>, string> Commands = new()
    {
        { "clear graphic", t => t.ClearGraphicScreen(), "ch 0x40 cmd 0x40 sub 0 len 8" },
        { "pixel", t => t.DrawPixel(239, 63), "ch 0x40 cmd 0x43 sub 0 len 12 [00 EF 00 3F]" },
        { "line", t => t.DrawLine(0, 1, 239, 63), "ch 0x40 cmd 0x47 sub 0 len 16 [00 00 00 01 00 EF 00 3F]" },
        { "rectangle", t => t.DrawRectangle(1, 2, 3, 4), "ch 0x40 cmd 0x48 sub 0 len 16 [00 01 00 02 00 03 00 04]" },
        { "filled rectangle", t => t.DrawRectangle(1, 2, 3, 4, filled: true), "cmd 0x4C sub 0 len 16 [00 01 00 02 00 03 00 04]" },
        { "circle", t => t.DrawCircle(10, 20, 32), "cmd 0x49 sub 0 len 14 [00 0A 00 14 00 20]" },
        { "filled circle", t => t.DrawCircle(10, 20, 0, filled: true), "cmd 0x4D sub 0 len 14 [00 0A 00 14 00 00]" },
        { "ellipse", t => t.DrawEllipse(5, 6, 7, 8), "cmd 0x4A sub 0 len 16 [00 05 00 06 00 07 00 08]" },
        { "filled ellipse", t => t.DrawEllipse(5, 6, 7, 8, filled: true), "cmd 0x4E sub 0 len 16" },
        { "rhombus", t => t.DrawRhombus(5, 6, 7, 8), "cmd 0x4B sub 0 len 16 [00 05 00 06 00 07 00 08]" },
        { "text", t => t.DrawText(3, 4, "Aé"), "cmd 0x50 sub 0 len 14 [00 03 00 04 41 E9]" },
        { "clear text", t => t.ClearText(), "ch 0x40 cmd 0x60 sub 0 len 8" },
        { "cursor", t => t.SetCursor(239, 0), "cmd 0x65 sub 0 len 12 [00 EF 00 00]" },
        { "write text", t => t.WriteText("hi", flag: 1), "cmd 0x61 sub 1 len 10 [68 69]" },
        { "scroll text 0", t => t.ScrollText(0), "cmd 0x67 sub 0 len 9 [FF]" },
        { "scroll text 1", t => t.ScrollText(1), "cmd 0x67 sub 0 len 9 [01]" },
        { "clear keyboard", t => t.ClearKeyboard(), "cmd 0x30 sub 0 len 8" },
        { "keyboard text", t => t.WriteKeyboardText(new byte[] { 0x41 }), "cmd 0x62 sub 0 len 9 [41]" },
        { "scroll keyboard", t => t.ScrollKeyboard(0), "cmd 0x68 sub 0 len 9 [FF]" },
        { "outputs", t => t.SetOutputs(first: true, second: false), "cmd 0x09 sub 0 len 10 [30 31]" },
        { "read inputs", t => t.ReadInputs(), "cmd 0x0A sub 0 len 8" },
        { "beeper", t => t.SetBeeper(1, 2, 255), "cmd 0x0B sub 0 len 11 [01 02 FF]" },
        { "auto report", t => t.SetAutoReport(0), "cmd 0x11 sub 0 len 9 [00]" },
        { "model name", t => t.RequestModelName(), "ch 0x40 cmd 0x00 sub 0 len 8" },
        { "led", t => t.SetLed(7), "cmd 0x0C sub 0 len 9 [07]" },
        { "backlight", t => t.SetBacklight(true), "cmd 0x0D sub 0 len 9 [01]" },
        { "alive check", t => t.SetHostAliveCheck(0), "cmd 0x12 sub 0 len 9 [00]" },
        { "host alive", t => t.SendHostAlive(), "cmd 0x12 sub 1 len 8" },
        { "configure port 1", t => t.ConfigureSerial(1, 115200, 3, 7, 2, 1, 9), "ch 0x60 cmd 0x01 sub 0 len 14 [07 03 07 02 01 09]" },
        { "configure port 2", t => t.ConfigureSerial(2, 1200), "ch 0x61 cmd 0x01 sub 0 len 14 [00 00 08 01 00 00]" },
        { "serial port 2", t => t.SendSerial(2, new byte[] { 0x10, 0x20 }), "ch 0x61 cmd 0x00 sub 0 len 10 [10 20]" },
        { "raw frame", t => t.SendFrame(0x40, 0x0C, 0, new byte[] { 3 }), "cmd 0x0C sub 0 len 9 [03]" },
        { "bitmap", t => t.DrawBitmap(0, 0, 1, 1, new byte[] { 0x80 }, 1), "cmd 0x43 sub 0 len 12 [00 00 00 00]" },
    };

    [Theory]
    [MemberData(nameof(Commands))]
    public void CommandFrameOnTheWire(string name, Action<Terminal> command, string expected)
    {
        int from = sim.LogCount;
        command(terminal);
        terminal.ReadInputs();  // a marker: the command's frame comes before it
        string line = sim.WaitForLog(l => l.StartsWith("<- "), from);
        Assert.True((line + " ").Contains(expected + " "), $"{name}: {line}");
        Assert.Equal(Refusal.None, terminal.LastRefusal);
    }

    [Fact]
    public void BatchSendsTheSameFramesInOrder()
    {
        int from = sim.LogCount;
        terminal.BeginBatch();
        terminal.DrawPixel(1, 1);
        terminal.SetLed(2);
        terminal.EndBatch();
        sim.WaitForLog(l => l.Contains("cmd 0x43 sub 0 len 12 [00 01 00 01]"), from);
        sim.WaitForLog(l => l.Contains("cmd 0x0C sub 0 len 9 [02]"), from);
    }
}
