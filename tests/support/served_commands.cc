#include "support/served_commands.h"

#include <gtest/gtest.h>

#include <atomic>

#include "com/class_registry.h"
#include "dispatch/calc_commands.h"

namespace kv::testing {

namespace {

using com::HRESULT;
using com::Variant;

std::mutex g_mu;
std::vector<std::string> g_created, g_calls;
std::atomic<int> g_live{0};

void Note(std::vector<std::string>* list, const std::string& what) {
  std::lock_guard<std::mutex> l(g_mu);
  list->push_back(what);
}

class FakeCalculation : public com::ComObject<com::IDispatch> {
 public:
  explicit FakeCalculation(std::string name) : name_(std::move(name)) {}
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    if (!com::NamesEqual(name, "Name")) return com::DISP_E_UNKNOWNNAME;
    *id = 1;
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, uint16_t, std::vector<Variant>&, Variant* result) override {
    if (id != 1) return com::DISP_E_MEMBERNOTFOUND;
    if (result) *result = Variant::Str(name_);
    return com::S_OK;
  }

 private:
  std::string name_;
};

class FakeCommands : public com::ComObject<ICommandObject> {
 public:
  explicit FakeCommands(const InterfaceTable& table) : table_(table) {
    ++g_live;
    Note(&g_created, table.name);
  }
  ~FakeCommands() override { --g_live; }

  const InterfaceTable& Table() const override { return table_; }
  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override { return iid == table_.iid ? com::S_OK : com::S_FALSE; }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    *id = table_.DispIdByName(name);
    return *id == com::DISPID_UNKNOWN ? com::DISP_E_UNKNOWNNAME : com::S_OK;
  }

  HRESULT Invoke(com::DISPID id, uint16_t, std::vector<Variant>& args, Variant* result) override {
    const MethodInfo* method = table_.ByDispId(id);
    if (!method) return com::DISP_E_MEMBERNOTFOUND;
    Note(&g_calls, method->name);
    const std::string& m = method->name;
    Variant out;
    if (m == "CalcCommandVersion") {
      out = Variant::Str("6.1.0");
    } else if (m == "GetConversion") {
      args[2] = Variant::Str(args[2].bstr().ToUtf8() + "!");
      args[3] = Variant::R8(args[3].r8() * 2);
      args[4] = Variant::R8(273.15);
      out = Variant::Bool(true);
    } else if (m == "GetCalculationObject") {
      std::string name = args[0].bstr().ToUtf8();
      if (name == "missing") {
        SetError(101, "Object not found");
        out = Variant::Dispatch(nullptr);
      } else {
        if (!calc_) calc_ = com::MakeCom<FakeCalculation>(name);
        out = Variant::Dispatch(calc_);
      }
    } else if (m == "CalcExecute") {
      out = Variant::Bool(calc_ && args[0].dispatch().Get() == calc_.Get());
    } else if (m == "GetServerGmtOffset") {
      out = Variant::Date(args[0].date() + 0.5);
    } else if (m == "ExecuteItem") {
      out = args[1];
    } else if (m == "GetCalculationList") {
      out = com::StringListVariant({"Boiler feed", "Pump"});
    } else if (m == "GetLibraryList") {
      SetError(0, "");
    } else if (m == "GetCalculationSummary") {
      // keeps the previous error, as its row does
    } else if (m == "LibraryCrossReference") {
      SetError(102, "Library not found");
    } else if (m == "CreateCalculationObject") {
      if (!calc_) calc_ = com::MakeCom<FakeCalculation>(args[0].bstr().ToUtf8());
      out = Variant::Dispatch(calc_);
    } else if (m == "GetLastCommandError") {
      args[0] = Variant::I4(code_);
      out = Variant::Str(text_);
    } else if (m == "SetBaseDirectory") {
      bool ok = args[0].bstr().ToUtf8() != "nowhere";
      if (!ok) SetError(180, "Base directory not found");
      out = Variant::Bool(ok);
    } else if (m != "FreeUnusedComLibraries") {
      return com::E_NOTIMPL;
    }
    if (result) *result = std::move(out);
    return com::S_OK;
  }

 private:
  void SetError(int32_t code, std::string text) {
    code_ = code;
    text_ = std::move(text);
  }

  const InterfaceTable& table_;
  com::ComPtr<FakeCalculation> calc_;
  int32_t code_ = 0;
  std::string text_;
};

void Register(const InterfaceTable& t) {
  com::ClassRegistry::Instance().Register(t.clsid, {t.progId, t.progId + ".1"}, [&t] {
    com::ComPtr<FakeCommands> obj = com::MakeCom<FakeCommands>(t);
    return com::ComPtr<com::IUnknown>(static_cast<com::IUnknown*>(obj.Get()));
  });
}

}  // namespace

ServedCommands::ServedCommands() {
  Register(ICalcCommandsInterface());
  Register(ICalcAppCommandsInterface());
  {
    std::lock_guard<std::mutex> l(g_mu);
    g_created.clear();
    g_calls.clear();
  }
  transport::Server::Options o;
  o.socketPath = dir_ / "bus";
  server_ = std::make_unique<transport::Server>(std::move(o), pool_);
  std::string error;
  if (server_->Start(&error) != 0) {
    ADD_FAILURE() << "server did not start: " << error;
    return;
  }
  address_ = server_->Address();
  thread_ = std::thread([this] { server_->Run(); });
}

ServedCommands::~ServedCommands() { Stop(); }

void ServedCommands::Stop() {
  if (!server_) return;
  server_->Stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::vector<std::string> ServedCommands::Created() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_created;
}

std::vector<std::string> ServedCommands::Calls() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_calls;
}

int ServedCommands::LiveCommands() { return g_live; }

}  // namespace kv::testing
