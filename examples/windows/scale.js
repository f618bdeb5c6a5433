// Reads a scale with Varnel.ocx from the Windows Script Host: opens the scale on the COM port given
// on the command line and prints each weight from the control's event handler.
//
//   cscript //nologo scale.js PORT [COUNT]
//
// Stops after COUNT weights, or runs until Ctrl+C.
var args = WScript.Arguments;
if (args.length < 1) {
    WScript.Echo("usage: cscript //nologo scale.js PORT [COUNT]");
    WScript.Quit(2);
}
var wanted = args.length > 1 ? parseInt(args(1), 10) : 0;
var received = 0;

// The prefix binds the control's events to the functions named Scale_<event>.
var scale = WScript.CreateObject("Varnel_OCX.Varnel", "Scale_");
function Scale_OnScaleComm() {
    switch (scale.ScaleCommEvent) {
    case 1:
        received++;
        WScript.Echo(scale.FormattedWt + " (" + scale.NetWt + " g)");
        if (received == wanted) scale.ScaleOpen(0);  // no more events
        break;
    case 3: WScript.Echo("scale lost"); break;
    case 4: WScript.Echo("scale back"); break;
    }
}

scale.CommPort = parseInt(args(0), 10);
scale.NetWtUnits = 2;  // vnGrams
if (scale.ScaleOpen(-1) == 0) WScript.Echo("COM" + args(0) + " not open yet; retrying");
while (wanted == 0 || received < wanted)
    WScript.Sleep(50);  // events arrive while the script host waits
