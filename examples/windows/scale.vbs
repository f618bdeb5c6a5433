' Reads a scale with Varnel.ocx from the Windows Script Host: opens the scale on the COM port given
' on the command line and prints each weight from the control's event handler.
'
'   cscript //nologo scale.vbs PORT [COUNT]
'
' Stops after COUNT weights, or runs until Ctrl+C.
Option Explicit
Dim args, scale, wanted, received
Set args = WScript.Arguments
If args.Count < 1 Then
    WScript.Echo "usage: cscript //nologo scale.vbs PORT [COUNT]"
    WScript.Quit 2
End If
wanted = 0
If args.Count > 1 Then wanted = CLng(args(1))
received = 0

' The prefix binds the control's events to the subs named Scale_<event>.
Set scale = WScript.CreateObject("Varnel_OCX.Varnel", "Scale_")
scale.CommPort = CInt(args(0))
scale.NetWtUnits = 2   ' vnGrams
If scale.ScaleOpen(-1) = 0 Then WScript.Echo "COM" & args(0) & " not open yet; retrying"
Do While wanted = 0 Or received < wanted
    WScript.Sleep 50   ' events arrive while the script host waits
Loop

Sub Scale_OnScaleComm()
    Select Case scale.ScaleCommEvent
        Case 1
            received = received + 1
            WScript.Echo scale.FormattedWt & " (" & scale.NetWt & " g)"
            If received = wanted Then scale.ScaleOpen 0   ' no more events
        Case 3: WScript.Echo "scale lost"
        Case 4: WScript.Echo "scale back"
    End Select
End Sub
