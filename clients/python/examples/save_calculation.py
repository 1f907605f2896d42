"""Stores a calculation (creating it the first time), lists the stored calculations and the
next five-minute start: the README's example, runnable any number of times.

    python3 save_calculation.py [SOCKET-OR-ADDRESS]
"""
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import kelvarin  # noqa: E402

with kelvarin.connect(sys.argv[1] if len(sys.argv) > 1 else None) as conn:
    cmd = conn.create("Kelvarin.CalcCommands")
    try:
        calc = cmd.GetCalculationObject("Boiler1")
    except kelvarin.KelvarinError:  # not stored yet
        calc = cmd.CreateCalculationObject("Boiler1", "", "")
    calc.put("Script", "Result = Inlet * 2")
    cmd.SaveCalculationObject(calc)
    for name in cmd.GetCalculationList():
        print(name)
    print(cmd.ComputeNextStartTime(datetime.timedelta(minutes=5), datetime.timedelta(0), 0, 0))
