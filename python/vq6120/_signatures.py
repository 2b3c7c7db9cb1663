"""The C type of every function of the library, for ctypes."""

from __future__ import annotations

import ctypes

_H = ctypes.c_void_p
_u8, _i16, _i32, _u16, _u32 = ctypes.c_uint8, ctypes.c_int16, ctypes.c_int32, ctypes.c_uint16, ctypes.c_uint32
_bytes = ctypes.c_char_p
_SIGNATURES = {
    "InitialVQ6120": (_H, [_u32, _u16]),
    "ExitVQ6120": (None, [_H]),
    "GetConnectStatus": (_i32, [_H, _u8]),
    "GetDllVersion": (ctypes.c_double, []),
    "SendData": (_i32, [_H, _u8, _u8, _u8, _bytes, _u32]),
    "GetDataFromEthernet": (_i32, [_H, ctypes.POINTER(_u8), ctypes.POINTER(_i32), _u8]),
    "ParseDIStatus": (_i32, [_i32, ctypes.POINTER(_u8), _i32, ctypes.POINTER(_u8), ctypes.POINTER(_u8)]),
    "ParseKeypadMessage": (_i32, [_i32, ctypes.POINTER(_u8), _i32]),
    "ClearGraphicScreen": (_i32, [_H]),
    "DrawPixel": (_i32, [_H, _i16, _i16]),
    "DrawLine": (_i32, [_H, _i16, _i16, _i16, _i16]),
    "DrawRectangle": (_i32, [_H, _i16, _i16, _i16, _i16, _u8]),
    "DrawCircle": (_i32, [_H, _i16, _i16, _i16, _u8]),
    "DrawEllipse": (_i32, [_H, _i16, _i16, _i16, _i16, _u8]),
    "DrawRhombus": (_i32, [_H, _i16, _i16, _i16, _i16]),
    "DrawAText": (_i32, [_H, _i16, _i16, _bytes, _i32]),
    "ClearText": (_i32, [_H]),
    "SetScreenCursorPos": (_i32, [_H, _i16, _i16]),
    "WriteText": (_i32, [_H, _bytes, _i32, _u8]),
    "ScrolloneLine": (_i32, [_H, _u8]),
    "ClearKeyboard": (_i32, [_H]),
    "WriteKeyboardText": (_i32, [_H, _bytes, _i32, _u8]),
    "ScrollKeyboardoneLine": (_i32, [_H, _u8]),
    "WriteDOStatus": (_i32, [_H, _u8, _u8]),
    "ReadDIStatus": (_i32, [_H]),
    "SetBeeperTime": (_i32, [_H, _u8, _u8, _u8]),
    "SetAutoReportTime": (_i32, [_H, _u8]),
    "GetModalName": (_i32, [_H]),
    "SetLED": (_i32, [_H, _u8]),
    "SetLCDBacklight": (_i32, [_H, _u8]),
    "SetHostAliveCheck": (_i32, [_H, _u8]),
    "SendHostAlive": (_i32, [_H]),
    "ConfigureCOM": (_i32, [_H, _u32, _u8, _u8, _u8, _u8, _u8, _u8]),
    "SendCOMData": (_i32, [_H, _bytes, _i32, _u8]),
    "VQ6120Ex_GetSocket": (ctypes.c_ssize_t, [_H]),
    "VQ6120Ex_Open": (_H, [_u32, _u16, _i32]),
    "VQ6120Ex_StartOpen": (_H, [_u32, _u16]),
    "VQ6120Ex_FinishOpen": (_i32, [_H, _i32]),
    "VQ6120Ex_BeginBatch": (_i32, [_H]),
    "VQ6120Ex_EndBatch": (_i32, [_H]),
    "VQ6120Ex_BufferedBytes": (_i32, [_H]),
    "VQ6120Ex_SetKeepAlive": (_i32, [_H, _i32, _i32, _i32]),
    "VQ6120Ex_SetSendQueue": (_i32, [_H, _i32]),
    "VQ6120Ex_Flush": (_i32, [_H]),
    "VQ6120Ex_WaitingBytes": (_i32, [_H]),
    "VQ6120Ex_LastRefusal": (_i32, [_H]),
    "VQ6120Ex_NextCheck": (_i32, [_H]),
    "VQ6120Ex_DrawBitmap": (_i32, [_H, _i16, _i16, _i16, _i16, _bytes, _i32]),
}
