"""Tries every change that needs a right, as whatever user runs it, and prints one JSON object:
{action: [result (true/false), last command error code, HRESULT name of a failed call or null]}.

Run by test_rights_as_another_user.py, once as an unprivileged uid and once as the server's own.
The order lets the privileged run succeed at each step (SaveCalculationObjectAs moves Flow2 onto
Flow1, so Flow1 is the one deleted last).
"""
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python"))
import kelvarin  # noqa: E402
from kelvarin import KelvarinError  # noqa: E402


def main(address):
    with kelvarin.connect(address) as conn:
        cmd = conn.create("Kelvarin.CalcCommands")
        calc = cmd.GetCalculationObject("Flow2")
        lib = cmd.GetLibraryObject("Lib1")
        unit = cmd.GetUnit("Distance", "km")
        mtype = cmd.GetMeasurementType("Distance")
        table = cmd.GetUnitConversionObject()
        actions = [
            ("GetCalculationList", lambda: list(cmd.GetCalculationList()) == ["Flow1", "Flow2"]),
            ("SaveCalculationObjectAs over another", lambda: cmd.SaveCalculationObjectAs(calc, "Flow1", True)),
            ("CreateCalculationObject", lambda: bool(cmd.CreateCalculationObject("Flow9", "", ""))),
            ("DeleteCalculationEditObject", lambda: cmd.DeleteCalculationEditObject("Flow1")),
            ("CreateCalcFolder", lambda: cmd.CreateCalcFolder("Area2")),
            ("RenameCalcFolder", lambda: cmd.RenameCalcFolder("Area1", "Area9")),
            ("CreateLibraryObject", lambda: bool(cmd.CreateLibraryObject("Lib9", "HOST7", "prober"))),
            ("SaveLibraryObjectAs over another", lambda: cmd.SaveLibraryObjectAs(lib, "Lib2", True)),
            ("AddMeasurementType", lambda: cmd.AddMeasurementType("Flow", "Flow", "l/s")),
            ("AddUnit", lambda: cmd.AddUnit("Distance", "furlong", "Furlong", 201.168, 0.0)),
            ("put Description on a held calculation", lambda: calc.put("Description", "changed") or True),
            ("SetObjectProperties on a held calculation",
             lambda: cmd.SetObjectProperties(calc, "Description", "changed again")),
            ("put Multiplier on a unit", lambda: unit.put("Multiplier", 2.0) or True),
            ("SetObjectProperties on a unit", lambda: cmd.SetObjectProperties(unit, "Offset", 1.0)),
            ("CreateUnit on a measurement type", lambda: bool(mtype.invoke("CreateUnit", "chain"))),
            ("Remove through the conversion object", lambda: table.invoke("Remove", "Speed") is not False),
            ("DeleteLibraryObject", lambda: cmd.DeleteLibraryObject("Lib2", "", "")),
            ("DeleteCalculationObject", lambda: cmd.DeleteCalculationObject("Flow1", "", "")),
        ]
        report = {}
        for name, action in actions:
            failed = None
            try:
                ok = bool(action())
            except KelvarinError as e:
                ok, failed = False, e.name or e.dbus_name
            report[name] = [ok, cmd.last_error()[0], failed]
        print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1])
