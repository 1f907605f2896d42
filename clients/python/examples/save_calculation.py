"""Creates a calculation, gives it a script, saves it and lists the stored calculations.

    python3 save_calculation.py [SOCKET-OR-ADDRESS]
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import kelvarin  # noqa: E402

with kelvarin.connect(sys.argv[1] if len(sys.argv) > 1 else None) as conn:
    cmd = conn.create("Kelvarin.CalcCommands")
    calc = cmd.CreateCalculationObject("Boiler1", "", "")
    if calc is None:
        sys.exit("create failed: %d %s" % cmd.last_error())
    calc.put("Script", "Result = Inlet * 2")
    if not cmd.SaveCalculationObject(calc):
        sys.exit("save failed: %d %s" % cmd.last_error())
    for name in cmd.GetCalculationList():
        print(name)
