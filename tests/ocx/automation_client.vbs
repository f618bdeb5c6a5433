' Varnel.ocx from a script host: an automation client that binds late, by name.
Option Explicit
Dim v, c, e
Set v = CreateObject("Varnel_OCX.Varnel")
WScript.Echo "ControlVersion " & v.ControlVersion
v.NetWtUnits = 2
WScript.Echo "NetWtUnits " & v.NetWtUnits
v.NetWtUnits = 3
WScript.Echo "NetWtUnits " & v.NetWtUnits
v.WtNotification = 1
WScript.Echo "WtNotification " & v.WtNotification
WScript.Echo "ScaleOpen " & v.ScaleOpen(0)
' A variable goes by reference (VT_BYREF|VT_VARIANT) and comes back in its own type.
c = 0
WScript.Echo "ScaleOpen(c) " & v.ScaleOpen(c) & ", c " & TypeName(c) & " " & c
WScript.Echo "ScaleOpen(e) " & v.ScaleOpen(e) & ", e " & TypeName(e) & " " & e
WScript.Echo "ConnectStatus " & v.ConnectStatus
WScript.Echo "NetWt " & TypeName(v.NetWt) & " " & v.NetWt
On Error Resume Next
v.RawWt = "01234"
WScript.Echo "RawWt put: error " & Err.Number
Err.Clear
WScript.Echo "RawWt [" & v.RawWt & "]"
v.CommPort = 0
WScript.Echo "CommPort put: error " & Err.Number
Err.Clear
WScript.Echo "CommPort " & v.CommPort
WScript.Echo "end"
