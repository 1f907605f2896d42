#pragma once
// What the system asks of the calculation components (environment, calculations, libraries
// and their formulas). The store reaches them only through these interfaces and the class
// registry; their insides live in src/engine/.
#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/guid.h"
#include "com/hresult.h"
#include "com/unknown.h"
#include "com/variant.h"

namespace kv::components {

using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::IDispatch;
using com::IUnknown;
using com::Variant;

// Class and interface identifiers the clients and stored registrations know.
inline constexpr com::CLSID CLSID_ZrCalcEnvironment = com::MakeGuid("16393D13-016A-11D3-B907-00805F712C95");
inline constexpr com::IID IID_ZrCalcEnvironment = com::MakeGuid("16393D12-016A-11D3-B907-00805F712C95");
inline constexpr com::CLSID CLSID_ZrCalculation = com::MakeGuid("3C8B53F0-E39D-11D2-B903-00805F712C95");
inline constexpr com::IID IID_IZrCalculation = com::MakeGuid("3C8B53EF-E39D-11D2-B903-00805F712C95");
inline constexpr com::CLSID CLSID_ZrLibrary = com::MakeGuid("B94FB633-EB65-11D2-B905-00805F712C95");
inline constexpr com::IID IID_IZrLibrary = com::MakeGuid("B94FB632-EB65-11D2-B905-00805F712C95");
inline constexpr com::IID IID_VRRoot = com::MakeGuid("86A0CB21-EEBC-11D2-B906-00805F712C95");
inline constexpr com::IID IID_IZrPersistFile = com::MakeGuid("FAF375F1-EEC4-11D2-B906-00805F712C95");
inline constexpr com::IID IID_IZrPersistXML = com::MakeGuid("A4486A91-7F5B-11D4-96F6-0008C7A0E7AD");

// Calculation type number of a CalcScript calculation or formula.
inline constexpr long kCalcTypeCalcScript = 4;

// A calculation, and each formula of a library.
class IZrCalculation : public virtual IUnknown {
 public:
  virtual HRESULT SetCreationTime(double oleDate) = 0;
  virtual HRESULT SetSaveTime(double oleDate) = 0;
  virtual HRESULT SetNewState(long state) = 0;
  virtual HRESULT GetOwnerString(Bstr* owner) = 0;
  virtual HRESULT SetOwnerString(const Bstr& owner) = 0;
  virtual HRESULT SetEditState(long state) = 0;
  virtual HRESULT GetCalcType(long* type) = 0;
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT SetName(const Bstr& name) = 0;
  virtual HRESULT GetSummaryState(int16_t* state) = 0;
};

// The formulas of a library: Count, and Item by 1-based index.
class IZrFormulas : public virtual IUnknown {
 public:
  virtual HRESULT Count(long* count) = 0;
  virtual HRESULT Item(long index, ComPtr<IDispatch>* formula) = 0;
};

class IZrLibrary : public virtual IUnknown {
 public:
  virtual HRESULT SetSaveTime(double oleDate) = 0;
  virtual HRESULT SetOwnerString(const Bstr& owner) = 0;
  virtual HRESULT GetFormulas(ComPtr<IZrFormulas>* formulas) = 0;
  virtual HRESULT GetName(Bstr* name) = 0;
  virtual HRESULT SetName(const Bstr& name) = 0;
  // A list result (VT_ARRAY|VT_VARIANT of VT_BSTR, VT_EMPTY for none) of formula names.
  virtual HRESULT ListFormulas(Variant* names) = 0;
};

class VRRoot : public virtual IUnknown {
 public:
  virtual HRESULT GetName(Bstr* name) = 0;
};

class IZrPersistFile : public virtual IUnknown {
 public:
  // Writes the whole persistent form to `path` (Windows form), replacing it atomically; a
  // negative result means nothing usable was written.
  virtual HRESULT SaveToFile(const Bstr& path) = 0;
  virtual HRESULT LoadFromFile(const Bstr& path) = 0;
};

class IZrPersistXML : public virtual IUnknown {
 public:
  virtual HRESULT LoadXML(const Bstr& xml) = 0;
  virtual HRESULT SaveXML(Bstr* xml) = 0;
};

// The process-wide environment that loads and holds calculations and libraries by name.
// Safe for concurrent calls from several threads.
class IZrCalcEnvironment : public virtual IUnknown {
 public:
  // The calculation `name` from "<dir>\Calc\<name>.zrc", loaded on first use and kept; `dir`
  // null means the root base directory. *calc is null when there is none (S_FALSE).
  virtual HRESULT GetCalculation(const Bstr& name, const Bstr& dir, ComPtr<IDispatch>* calc) = 0;
  virtual HRESULT GetLibrary(const Bstr& name, ComPtr<IDispatch>* lib) = 0;
  virtual HRESULT AttachThread() = 0;
  virtual HRESULT DetachThread() = 0;
  virtual HRESULT RemoveLibrary(const Bstr& name) = 0;
  virtual HRESULT RemoveCalculation(const Bstr& name) = 0;
  // A new object read from `path` (edit copies); a negative result when the load failed.
  virtual HRESULT LoadCalculationFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* calc) = 0;
  virtual HRESULT LoadLibraryFile(const Bstr& path, const Bstr& name, ComPtr<IDispatch>* lib) = 0;
  virtual HRESULT LibraryFormulaSaved(const Bstr& library, const Bstr& formula) = 0;
  virtual HRESULT SetUnitConversionObject(IDispatch* units) = 0;
  // The root base directory whose Calc and Lib it loads from (set once at start-up).
  virtual HRESULT SetBasePath(const Bstr& root) = 0;
};

}  // namespace kv::components
