using System;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Text.RegularExpressions;
using Xunit;

namespace Vq6120.Tests;

// The binding read against include/VQ6120_LIB.h, so that the two cannot drift.
public class HeaderTests
{
    private static readonly string Header = File.ReadAllText(Repo.Header);

    private static string Pascal(string cName) =>
        string.Concat(cName.ToLowerInvariant().Split('_').Select(w => w.Length == 0 ? w : char.ToUpperInvariant(w[0]) + w.Substring(1)));

    [Theory]
    [InlineData("VQ6120_RECV_", typeof(ReceiveResult))]
    [InlineData("VQ6120_REFUSED_", typeof(Refusal))]
    public void EnumsMatchTheHeader(string prefix, Type type)
    {
        var values = Regex.Matches(Header, $@"\b{prefix}(\w+)\s*=\s*(\d+)").Cast<Match>().ToDictionary(m => Pascal(m.Groups[1].Value), m => int.Parse(m.Groups[2].Value));
        Assert.NotEmpty(values);
        Assert.Equal(values.OrderBy(v => v.Key), Enum.GetNames(type).ToDictionary(n => n, n => (int)Enum.Parse(type, n)).OrderBy(v => v.Key));
    }

    [Fact]
    public void LimitsMatchTheHeader()
    {
        var defines = Regex.Matches(Header, @"#define VQ6120_(\w+) (\d+)").Cast<Match>().ToDictionary(m => Pascal(m.Groups[1].Value), m => int.Parse(m.Groups[2].Value));
        Assert.Equal(5, defines.Count);
        foreach (var define in defines)
            Assert.Equal((define.Key, define.Value), (define.Key, (int)typeof(Limits).GetField(define.Key)!.GetRawConstantValue()!));
    }

    [Fact]
    public void EveryExportIsBoundWithItsParameterCount()
    {
        var exports = Regex.Matches(Header, @"VQ6120_API\s+[\w\s\*]+?VQ6120_CALL\s+(\w+)\s*\(([^)]*)\)").Cast<Match>()
            .ToDictionary(m => m.Groups[1].Value, m => m.Groups[2].Value.Trim() is "void" ? 0 : m.Groups[2].Value.Split(',').Length);
        var bound = typeof(Terminal).Assembly.GetType("Vq6120.Native")!
            .GetMethods(BindingFlags.Static | BindingFlags.NonPublic | BindingFlags.DeclaredOnly)
            .Where(m => !m.Name.Contains('<'))  // not the generated stubs
            .ToDictionary(m => m.Name, m => m.GetParameters().Length);
        Assert.Equal(exports.OrderBy(e => e.Key), bound.OrderBy(b => b.Key));
    }
}
