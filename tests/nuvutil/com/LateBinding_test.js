// A real late-binding client: Wine's script host calls the test server through IDispatch only.
// Run as: cscript //nologo LateBinding_test.js (exit code 0 when every check passed).
var failures = 0;
function check(ok, what) {
    if (!ok) {
        WScript.Echo("FAILED: " + what);
        failures++;
    }
}

var object = new ActiveXObject("NuvTest.ComTest");
check(object.Add(40, 2) === 42, "Add(40, 2)");
check(object.Echo("round trip") === "<round trip>", "Echo");
object.Counter = 7;
check(object.Counter === 7, "Counter put/get");

// E_INVALIDARG thrown as std::invalid_argument inside the method.
try {
    object.Fail(3);
    check(false, "Fail(3) returned");
} catch (e) {
    check((e.number >>> 0) === 0x80070057, "Fail(3) number " + (e.number >>> 0).toString(16));
}

WScript.Echo(failures === 0 ? "all checks passed" : failures + " check(s) failed");
WScript.Quit(failures === 0 ? 0 : 1);
