using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vq6120.Tests;

/// <summary>The virtual terminal (or a farm of them) on free ports, driven through its operator
/// commands, its frame log (standard error, with -v) read back line by line.</summary>
public sealed class Simulator : IDisposable
{
    private readonly Process process;
    private readonly List<string> log = new();
    private readonly List<string> output = new();

    public Simulator(int terminals = 1)
    {
        var args = terminals == 1 ? "--port 0 -v" : $"--terminals {terminals} --port 0";
        process = Process.Start(new ProcessStartInfo(Repo.Simulator, args)
        {
            RedirectStandardInput = true, RedirectStandardOutput = true, RedirectStandardError = true,
            UseShellExecute = false,
        })!;
        process.ErrorDataReceived += (_, e) => Add(log, e.Data);
        process.OutputDataReceived += (_, e) => Add(output, e.Data);
        process.BeginErrorReadLine();
        process.BeginOutputReadLine();
        string first = WaitFor(output, l => l.StartsWith("listening on ") || l.StartsWith("ports: "), 0);
        if (first.StartsWith("listening on "))
        {
            Ports = new[] { int.Parse(first.Substring(first.LastIndexOf(':') + 1)) };
        }
        else
        {
            Ports = first.Substring(7).Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries).SelectMany(Range).ToArray();
        }
    }

    private static IEnumerable<int> Range(string token)
    {
        var parts = token.Split('-');
        int a = int.Parse(parts[0]), b = parts.Length > 1 ? int.Parse(parts[1]) : a;
        return Enumerable.Range(a, b - a + 1);
    }

    public int[] Ports { get; }
    public int Port => Ports[0];

    public Terminal Connect(int index = 0) => Terminal.Connect(IPAddress.Loopback, Ports[index]);

    public void Command(string line)
    {
        process.StandardInput.WriteLine(line);
        process.StandardInput.Flush();
    }

    /// <summary>Log lines from <paramref name="from"/> on.</summary>
    public int LogCount { get { lock (log) return log.Count; } }

    /// <summary>The first log line at or after <paramref name="from"/> that matches; fails after 10 s.</summary>
    public string WaitForLog(Func<string, bool> match, int from = 0) => WaitFor(log, match, from);

    public string WaitForOutput(Func<string, bool> match, int from = 0) => WaitFor(output, match, from);

    public int OutputCount { get { lock (output) return output.Count; } }

    private static void Add(List<string> lines, string? line)
    {
        if (line is null) return;
        lock (lines) { lines.Add(line); Monitor.PulseAll(lines); }
    }

    private string WaitFor(List<string> lines, Func<string, bool> match, int from)
    {
        var deadline = DateTime.UtcNow.AddSeconds(10);
        lock (lines)
        {
            for (int i = from; ; i++)
            {
                while (i >= lines.Count)
                {
                    var left = deadline - DateTime.UtcNow;
                    if (left <= TimeSpan.Zero || process.HasExited && i >= lines.Count && !Monitor.Wait(lines, 100))
                        throw new TimeoutException("the simulator did not log it; last lines:\n" + string.Join("\n", lines.Skip(Math.Max(0, lines.Count - 10))));
                    Monitor.Wait(lines, left);
                }
                if (match(lines[i])) return lines[i];
            }
        }
    }

    public void Kill()
    {
        if (!process.HasExited) process.Kill();
        process.WaitForExit();
    }

    public void Dispose()
    {
        try { Command("quit"); } catch (IOException) { }
        if (!process.WaitForExit(5000)) process.Kill();
        process.WaitForExit();
        process.Dispose();
    }
}

public static class TaskLimits
{
    /// <summary>The task's own outcome, or a TimeoutException once <paramref name="limit"/> passed.</summary>
    public static async Task Within(this Task task, TimeSpan limit)
    {
        if (await Task.WhenAny(task, Task.Delay(limit)) != task) throw new TimeoutException($"not done in {limit}");
        await task;
    }
}

/// <summary>Where the tree's native pieces are: VQ6120_SIM, or build/gcc of the checkout.</summary>
public static class Repo
{
    public static readonly string Root = FindRoot();

    public static string Simulator =>
        Environment.GetEnvironmentVariable("VQ6120_SIM") ?? Path.Combine(Root, "build/gcc/tools/vq6120-sim/vq6120-sim");

    public static string Header => Path.Combine(Root, "include/VQ6120_LIB.h");

    private static string FindRoot()
    {
        for (var dir = new DirectoryInfo(AppContext.BaseDirectory); dir != null; dir = dir.Parent)
            if (File.Exists(Path.Combine(dir.FullName, "include/VQ6120_LIB.h"))) return dir.FullName;
        throw new InvalidOperationException("not inside the VQ6120_LIB tree");
    }
}

/// <summary>A test class with its own virtual terminal and a terminal connected to it.</summary>
public abstract class SimulatorTest : IDisposable
{
    protected readonly Simulator sim = new();
    protected readonly Terminal terminal;

    protected SimulatorTest() => terminal = sim.Connect();

    public void Dispose()
    {
        terminal.Dispose();
        sim.Dispose();
    }
}
