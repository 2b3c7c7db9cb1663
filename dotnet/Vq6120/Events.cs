using System;

namespace Vq6120;

/// <summary>Something the terminal sent, or the end of its connection. Immutable.</summary>
public abstract class Event
{
    private protected Event() { }
}

/// <summary>A key press (command 0x37).</summary>
public sealed class KeyEvent : Event
{
    internal KeyEvent(byte code) => Code = code;
    /// <summary>The key code, 0..255.</summary>
    public byte Code { get; }
    /// <inheritdoc/>
    public override string ToString() => $"key {Code}";
}

/// <summary>The digital inputs (command 0x0A): an answer to <see cref="Terminal.ReadInputs"/> or an auto report.</summary>
public sealed class InputsEvent : Event
{
    internal InputsEvent(int value, bool first, bool second) => (Value, First, Second) = (value, first, second);
    /// <summary>The first digit's value, as ParseDIStatus returns it.</summary>
    public int Value { get; }
    /// <summary>The first input is on.</summary>
    public bool First { get; }
    /// <summary>The second input is on.</summary>
    public bool Second { get; }
    /// <inheritdoc/>
    public override string ToString() => $"inputs {(First ? 1 : 0)} {(Second ? 1 : 0)}";
}

/// <summary>Bytes the terminal received on one of its serial ports.</summary>
public sealed class SerialDataEvent : Event
{
    internal SerialDataEvent(int port, byte[] data) => (Port, Data) = (port, data);
    /// <summary>The port, 1 or 2.</summary>
    public int Port { get; }
    /// <summary>The bytes, as they came.</summary>
    public ReadOnlyMemory<byte> Data { get; }
    /// <inheritdoc/>
    public override string ToString() => $"serial {Port}: {Data.Length} bytes";
}

/// <summary>The terminal's model name (command 0x00), the answer to <see cref="Terminal.RequestModelName"/>.</summary>
public sealed class ModelNameEvent : Event
{
    internal ModelNameEvent(string name) => Name = name;
    /// <summary>The name, e.g. "VQ6120-SIM".</summary>
    public string Name { get; }
    /// <inheritdoc/>
    public override string ToString() => $"model {Name}";
}

/// <summary>A terminal-channel frame the library delivers raw (commands 0x10 and 0x37 beyond
/// a one-byte key, and the consumed 0x11 acknowledgement without payload).</summary>
public sealed class FrameEvent : Event
{
    internal FrameEvent(ReceiveResult kind, byte[] payload) => (Kind, Payload) = (kind, payload);
    /// <summary>Which frame it was.</summary>
    public ReceiveResult Kind { get; }
    /// <summary>Its payload.</summary>
    public ReadOnlyMemory<byte> Payload { get; }
    /// <inheritdoc/>
    public override string ToString() => $"frame {Kind}: {Payload.Length} bytes";
}

/// <summary>The connection is over: closed by the terminal, reset, stalled or out of step.
/// Nothing follows it; dispose the terminal and connect again.</summary>
public sealed class ClosedEvent : Event
{
    internal static readonly ClosedEvent Instance = new();
    private ClosedEvent() { }
    /// <inheritdoc/>
    public override string ToString() => "closed";
}
