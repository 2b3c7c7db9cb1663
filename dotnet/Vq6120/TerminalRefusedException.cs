using System;

namespace Vq6120;

/// <summary>The library refused a command for a reason other than its arguments (those are
/// <see cref="ArgumentException"/>s): the connection is over, the send queue is full, the
/// handle is not in a state for it.</summary>
public sealed class TerminalRefusedException : InvalidOperationException
{
    /// <summary>Makes one for the reason given.</summary>
    public TerminalRefusedException(Refusal reason, string operation)
        : base($"{operation} refused: {Describe(reason)}") => Reason = reason;

    /// <summary>Why the library refused.</summary>
    public Refusal Reason { get; }

    internal static string Describe(Refusal reason) => reason switch
    {
        Refusal.Argument => "a value out of range",
        Refusal.QueueFull => "the send queue is full (the terminal is not reading fast enough); try again later",
        Refusal.Closed => "the connection is over (closed, reset or never connected)",
        Refusal.State => "not in the terminal's present state (connect not through, batch open or none, bytes still queued)",
        Refusal.Memory => "out of memory",
        Refusal.Stalled => $"the terminal stopped reading for {Limits.SendStallSeconds} s; the connection is over",
        _ => $"reason {(int)reason}",
    };
}
