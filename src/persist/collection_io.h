#pragma once
// Reading, writing and searching the collection files that hold the schedule and the units table
// (IZrCollection, created through the class registry as CLSID_ZrCollection). It needs only the
// component interfaces, so the schedule, the units table and any other keeper of such a file
// share it without reaching each other.
#include <string_view>

#include "com/bstr.h"
#include "com/hresult.h"
#include "components/schedule_components.h"
#include "platform/file_system.h"

namespace kv::persist {

using com::Bstr;
using com::ComPtr;
using com::FAILED;
using com::HRESULT;
using com::SUCCEEDED;
using components::IZrCollection;

// A new, empty collection; null and the failure when the class cannot be created.
HRESULT NewCollection(ComPtr<IZrCollection>* out);
// A new collection read from `path`. On any failure (class not creatable, no persistence, file
// missing or damaged; a damaged file logs one line) *out is null and the failing result is
// returned.
HRESULT LoadCollection(std::string_view path, ComPtr<IZrCollection>* out);
// Writes `collection` with everything it holds to `path`, replacing the file atomically. A
// negative result when nothing usable was written.
HRESULT SaveCollection(std::string_view path, IZrCollection* collection);
// Creates "<g_BasePath>\bin", where the schedule and conversions files live, in `fs` (the file
// system of the server objects, whose files these are) when it is missing; one level only: the
// base directory itself must exist.
void EnsureBinDirectory(platform::FileSystem& fs);

// The item of `collection` of that name, or at that 1-based position, asked for interface I:
// S_OK and the object; S_FALSE and null when there is no such item or it does not answer I;
// E_POINTER and null without a collection; ItemAt's failure for a position out of range.
template <class I>
HRESULT ItemAs(IZrCollection* collection, const Bstr& name, ComPtr<I>* out);
template <class I>
HRESULT ItemAtAs(IZrCollection* collection, long position, ComPtr<I>* out);

namespace detail {
template <class I>
HRESULT AskFor(HRESULT hr, const ComPtr<com::IDispatch>& item, ComPtr<I>* out) {
  *out = com::QueryInterface<I>(item);
  if (FAILED(hr)) return hr;
  return *out ? com::S_OK : com::S_FALSE;
}
}  // namespace detail

template <class I>
HRESULT ItemAs(IZrCollection* collection, const Bstr& name, ComPtr<I>* out) {
  *out = nullptr;
  if (!collection) return com::E_POINTER;
  ComPtr<com::IDispatch> item;
  return detail::AskFor(collection->Item(name, &item), item, out);
}

template <class I>
HRESULT ItemAtAs(IZrCollection* collection, long position, ComPtr<I>* out) {
  *out = nullptr;
  if (!collection) return com::E_POINTER;
  ComPtr<com::IDispatch> item;
  return detail::AskFor(collection->ItemAt(position, &item), item, out);
}

}  // namespace kv::persist
