#include "transport/fake_commands.h"

#include <thread>

#include "com/class_registry.h"

#include "com/call_context.h"

namespace kv::testing {

using com::HRESULT;
using com::Variant;

std::atomic<int> FakeCounters::liveCommands{0};
std::atomic<int> FakeCounters::liveChildren{0};
std::atomic<int> FakeCounters::destroyedOffThread{0};
std::atomic<int> FakeCounters::invokes{0};
std::atomic<int> FakeCounters::ranOnBusThread{0};
std::atomic<std::thread::id> FakeCounters::busThread{};

namespace {

using D = ParamDir;
using T = ParamType;

MethodInfo Method(std::string name, std::vector<ParamInfo> params) {
  MethodInfo m;
  m.name = std::move(name);
  m.params = std::move(params);
  return m;
}

class ThreadBound {
 protected:
  ThreadBound() : home_(std::this_thread::get_id()) { CheckNotBusThread(); }
  static void CheckNotBusThread() {
    if (std::this_thread::get_id() == FakeCounters::busThread.load()) ++FakeCounters::ranOnBusThread;
  }
  ~ThreadBound() {
    if (std::this_thread::get_id() != home_) ++FakeCounters::destroyedOffThread;
  }
  bool AtHome() const { return std::this_thread::get_id() == home_; }

 private:
  std::thread::id home_;
};

class FakeChild : public com::ComObject<com::IDispatch>, ThreadBound {
 public:
  explicit FakeChild(std::string name) : name_(std::move(name)) { ++FakeCounters::liveChildren; }
  ~FakeChild() override { --FakeCounters::liveChildren; }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    if (!com::NamesEqual(name, "Name")) return com::DISP_E_UNKNOWNNAME;
    *id = 1;
    return com::S_OK;
  }
  HRESULT Invoke(com::DISPID id, uint16_t, std::vector<Variant>&, Variant* result) override {
    CheckNotBusThread();
    if (id != 1) return com::DISP_E_MEMBERNOTFOUND;
    if (!AtHome()) return com::E_UNEXPECTED;
    if (result) *result = Variant::Str(name_);
    return com::S_OK;
  }

 private:
  std::string name_;
};

class FakeCommands : public com::ComObject<ICommandObject>, ThreadBound {
 public:
  FakeCommands() { ++FakeCounters::liveCommands; }
  ~FakeCommands() override { --FakeCounters::liveCommands; }

  const InterfaceTable& Table() const override { return FakeCommandsTable(); }
  HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override { return iid == Table().iid ? com::S_OK : com::S_FALSE; }
  HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override {
    *id = Table().DispIdByName(name);
    return *id == com::DISPID_UNKNOWN ? com::DISP_E_UNKNOWNNAME : com::S_OK;
  }

  HRESULT Invoke(com::DISPID id, uint16_t, std::vector<Variant>& args, Variant* result) override {
    ++FakeCounters::invokes;
    CheckNotBusThread();
    const MethodInfo* method = Table().ByDispId(id);
    if (!method) return com::DISP_E_MEMBERNOTFOUND;
    size_t want = method->params.size() - (method->RetvalIndex() >= 0 ? 1 : 0);
    if (args.size() != want) return com::DISP_E_BADPARAMCOUNT;
    Variant out;
    switch (id) {
      case 1: {
        HRESULT hr = com::ChangeType(args[0], com::VT_BSTR, &out);
        if (com::FAILED(hr)) return hr;
        break;
      }
      case 2: {
        Variant value, delta;
        if (com::FAILED(com::ChangeType(args[0], com::VT_I4, &value)) || com::FAILED(com::ChangeType(args[1], com::VT_I4, &delta)))
          return com::DISP_E_TYPEMISMATCH;
        args[0] = Variant::I4(value.i4() + delta.i4());
        out = Variant::Bool(args[0].i4() >= 0);
        break;
      }
      case 3:
        out = Variant::Dispatch(com::MakeCom<FakeChild>(args[0].bstr().ToUtf8()));
        break;
      case 4:
        if (!child_) child_ = com::MakeCom<FakeChild>("same");
        out = Variant::Dispatch(child_);
        break;
      case 5: {
        com::ComPtr<com::IDispatch> obj = args[0].dispatch();
        if (!obj) {
          out = Variant::Str("");
          break;
        }
        HRESULT hr = com::GetProperty(obj.Get(), "Name", &out);
        if (com::FAILED(hr)) return hr;
        break;
      }
      case 6:
        args[1] = args[0];
        out = args[0];
        break;
      case 7:
        out = Variant::Bool(AtHome());
        break;
      case 8:
        out = Variant::R8((args[2].boolVal() ? -args[0].r8() : args[0].r8()) + args[1].date());
        break;
      case 9:
        out = Variant::Dispatch(com::MakeCom<FakeCommands>());
        break;
      case 10: {
        const com::CallContext* c = com::CurrentCallContext();
        out = Variant::Str(c ? c->Identity() : "<no context>");
        break;
      }
      default:
        return com::DISP_E_MEMBERNOTFOUND;
    }
    if (result) *result = std::move(out);
    return com::S_OK;
  }

 private:
  com::ComPtr<FakeChild> child_;
};

}  // namespace

const InterfaceTable& FakeCommandsTable() {
  static const InterfaceTable table{
      "IFakeCommands",
      com::MakeGuid("6B1D5A2E-0000-4000-8000-00000000BEEF"),
      kFakeCommandsClsid,
      "Kelvarin.TestCommands",
      {
          Method("Echo", {{D::In, T::Bstr, false, "text"}, {D::Retval, T::Bstr, true, "result"}}),
          Method("AddTo", {{D::InOut, T::Long, true, "value"}, {D::In, T::Long, false, "delta"}, {D::Retval, T::Bool, true, "ok"}}),
          Method("NewChild", {{D::In, T::Bstr, false, "name"}, {D::Retval, T::Dispatch, true, "child"}}),
          Method("SameChild", {{D::Retval, T::Dispatch, true, "child"}}),
          Method("NameOf", {{D::In, T::Dispatch, false, "obj"}, {D::Retval, T::Bstr, true, "name"}}),
          Method("Roundtrip", {{D::In, T::Variant, false, "value"}, {D::InOut, T::Variant, true, "copy"}, {D::Retval, T::Variant, true, "result"}}),
          Method("OnOwnApartment", {{D::Retval, T::Bool, true, "result"}}),
          Method("Scale", {{D::In, T::Double, false, "x"}, {D::In, T::Date, false, "when"}, {D::In, T::Bool, false, "negate"}, {D::Retval, T::Double, true, "result"}}),
          Method("NewCommands", {{D::Retval, T::Dispatch, true, "commands"}}),
          Method("CallerName", {{D::Retval, T::Bstr, true, "name"}}),
      },
  };
  return table;
}

void RegisterFakeCommands() {
  com::RegisterClass<FakeCommands>(kFakeCommandsClsid, {"Kelvarin.TestCommands", "Kelvarin.TestCommands.1"});
}

}  // namespace kv::testing
