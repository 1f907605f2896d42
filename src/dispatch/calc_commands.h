#pragma once
// The two dispatch classes clients create: CalcCommands (ICalcCommands) and CalcAppCommands
// (ICalcAppCommands). Each owns one command object and runs every method of its table through
// the same wrapper: log the start, the parameters and the result, forward to the command or give
// the method's fixed answer, contain any exception as E_UNEXPECTED, log the end. Typed calls and
// late-bound IDispatch calls reach the same code. Not thread-safe: one apartment calls it.
#include "com/dispatch.h"
#include "command_object/calc_cmd_base.h"
#include "protocol/method_info.h"

namespace kv {

// An object whose methods are described by a method table (the transport serves its typed
// interface from it).
class ICommandObject : public com::IDispatch {
 public:
  virtual const InterfaceTable& Table() const = 0;
  // S_OK for the object's own interface id, S_FALSE otherwise.
  virtual com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) = 0;
};

class ZrCalcCommandsBase : public com::ComObject<ICommandObject> {
 public:
  com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override;
  // `args` in declaration order without the retval; in/out values are written back in place;
  // the retval goes to `result`. DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT and
  // DISP_E_TYPEMISMATCH for calls that do not fit the table; E_NOTIMPL for a method whose
  // command is not built yet.
  com::HRESULT Invoke(com::DISPID id, uint16_t flags, std::vector<com::Variant>& args, com::Variant* result) override;
  const InterfaceTable& Table() const override { return table_; }
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override;

  CCalcCmdBase& Command() { return command_; }

 protected:
  ZrCalcCommandsBase(const InterfaceTable& table, CCalcCmdBase& command, bool fullLogging);
  ~ZrCalcCommandsBase() override;

 private:
  const InterfaceTable& table_;
  CCalcCmdBase& command_;
  const bool fullLogging_;  // ICalcCommands logs parameters and results; ICalcAppCommands does not
};

class ZrCalcCommands : public ZrCalcCommandsBase {
 public:
  // Asks the access gate to refresh its authorization cache, as every new main object does.
  ZrCalcCommands();

 private:
  ZrCalcCmdObject object_;
};

class ZrCalcAppCommands : public ZrCalcCommandsBase {
 public:
  ZrCalcAppCommands();

 private:
  ZrCalcAppCmdObject object_;
};

// Registers both classes with the class registry under their CLSIDs and ProgIDs
// ("Kelvarin.CalcCommands", "Kelvarin.CalcCommands.1", and the same for CalcAppCommands).
void RegisterCommandClasses();

// Live dispatch objects of both classes (the local server ends when it falls to zero).
long LiveCommandObjects();

}  // namespace kv
