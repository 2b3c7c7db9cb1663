namespace Vq6120;

/// <summary>What one receive call delivered (the library's VQ6120_RECV_ values).</summary>
public enum ReceiveResult
{
    /// <summary>The peer closed, a read failed or a frame came on an unknown channel.</summary>
    Closed = 0,
    /// <summary>Nothing to deliver.</summary>
    Nothing = 1,
    /// <summary>An auto-report acknowledgement (command 0x11) was consumed; no payload.</summary>
    Consumed = 2,
    /// <summary>Terminal channel, command 0x37: a key press.</summary>
    Frame37 = 3,
    /// <summary>Terminal channel, command 0x0A: the digital inputs.</summary>
    DiStatus = 4,
    /// <summary>Terminal channel, command 0x00: the model name.</summary>
    ModelName = 5,
    /// <summary>Channel 0x60: data from serial port 1.</summary>
    Serial1 = 6,
    /// <summary>Channel 0x61: data from serial port 2.</summary>
    Serial2 = 7,
    /// <summary>Terminal channel, command 0x10.</summary>
    Frame10 = 8,
}

/// <summary>Why the library refused a call (the library's VQ6120_REFUSED_ values).</summary>
public enum Refusal
{
    /// <summary>The last call was accepted.</summary>
    None = 0,
    /// <summary>A value out of range or a missing buffer.</summary>
    Argument = 1,
    /// <summary>Queued send mode: the frame or batch would pass the limit; try again later.</summary>
    QueueFull = 2,
    /// <summary>The connection is over: closed, reset, or its connect failed.</summary>
    Closed = 3,
    /// <summary>Not in the handle's present state: a connect not through, a batch open (or none), bytes still queued.</summary>
    State = 4,
    /// <summary>Memory for the frame could not be had.</summary>
    Memory = 5,
    /// <summary>The connection is over by the stall rule: the terminal stopped reading.</summary>
    Stalled = 6,
}

/// <summary>Where a connect begun with <see cref="Terminal.StartConnect"/> stands.</summary>
public enum ConnectProgress
{
    /// <summary>The connect failed; the terminal reads as closed.</summary>
    Failed = 0,
    /// <summary>Connected: every command works.</summary>
    Connected = 1,
    /// <summary>Still connecting: ask again, e.g. when the socket turns writable.</summary>
    Pending = -1,
}

/// <summary>The library's limits (the #defines of VQ6120_LIB.h).</summary>
public static class Limits
{
    /// <summary>Largest payload one frame carries (VQ6120_MAX_PAYLOAD).</summary>
    public const int MaxPayload = 65527;
    /// <summary>Largest frame the receive path accepts (VQ6120_MAX_RECEIVE_FRAME).</summary>
    public const int MaxReceiveFrame = 32768;
    /// <summary>Seconds a send may make no progress before the connection is shut (VQ6120_SEND_STALL_SECONDS).</summary>
    public const int SendStallSeconds = 5;
    /// <summary>The smallest send-queue limit (VQ6120_SEND_QUEUE_MIN).</summary>
    public const int SendQueueMin = 65536;
    /// <summary>A send-queue limit that suits a terminal redrawn a few times a second (VQ6120_SEND_QUEUE_DEFAULT).</summary>
    public const int SendQueueDefault = 262144;
    /// <summary>Width of the graphic screen in pixels.</summary>
    public const int ScreenWidth = 240;
    /// <summary>Height of the graphic screen in pixels.</summary>
    public const int ScreenHeight = 64;
    /// <summary>Largest shape size (circle radius, ellipse and rhombus half-axes).</summary>
    public const int MaxShapeSize = 32;
    /// <summary>Longest text run of one text command, in bytes.</summary>
    public const int MaxTextLength = 240;
}
