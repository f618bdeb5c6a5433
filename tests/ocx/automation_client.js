// Varnel.ocx from JScript, the script engine beside VBScript: late binding by name. JScript
// passes numbers by value and reports a failed call's HRESULT as the error's number.
function hresult(e) {
    return "0x" + (e.number >>> 0).toString(16).toUpperCase();
}
var v = new ActiveXObject("Varnel_OCX.Varnel");
WScript.Echo("ControlVersion " + v.ControlVersion());
v.NetWtUnits = 2;
WScript.Echo("NetWtUnits " + v.NetWtUnits);
v.NetWtUnits = 3;
WScript.Echo("NetWtUnits " + v.NetWtUnits);
WScript.Echo("ScaleOpen " + v.ScaleOpen(0));
var connect = 0;
WScript.Echo("ScaleOpen(connect) " + v.ScaleOpen(connect) + ", connect " + connect);
WScript.Echo("NetWt " + typeof v.NetWt + " " + v.NetWt);
try {
    v.RawWt = "01234";
    WScript.Echo("RawWt put: no error");
} catch (e) {
    WScript.Echo("RawWt put: error " + hresult(e));
}
WScript.Echo("RawWt [" + v.RawWt + "]");
try {
    v.CommPort = 0;
    WScript.Echo("CommPort put: no error");
} catch (e) {
    WScript.Echo("CommPort put: error " + hresult(e) + " " + (e.number & 0xFFFF));
}
WScript.Echo("CommPort " + v.CommPort);
WScript.Echo("end");
