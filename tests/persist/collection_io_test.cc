#include "persist/collection_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "com/class_registry.h"
#include "com/dispatch.h"
#include "components/calc_components.h"
#include "config/config.h"
#include "support/temp_dir.h"

namespace kv::persist {
namespace {

using com::IDispatch;
using components::IZrPersistFile;

// An item answering IDispatch only.
class Plain : public com::ComObject<IDispatch> {
 public:
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<com::Variant>&, com::Variant*) override {
    return com::DISP_E_MEMBERNOTFOUND;
  }
};

// An item that also answers IZrPersistFile, the interface the lookups below ask for.
class Persistent : public com::ComObject<IDispatch, IZrPersistFile> {
 public:
  HRESULT GetIDsOfNames(std::string_view, com::DISPID*) override { return com::DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(com::DISPID, uint16_t, std::vector<com::Variant>&, com::Variant*) override {
    return com::DISP_E_MEMBERNOTFOUND;
  }
  HRESULT SaveToFile(const Bstr&) override { return com::S_OK; }
  HRESULT LoadFromFile(const Bstr&) override { return com::S_OK; }
};

// A collection with the files it was asked to read or write; a load of "missing" fails.
class FakeCollection : public com::ComObject<IZrCollection, IZrPersistFile> {
 public:
  static inline std::vector<std::string> loaded, saved;

  HRESULT Add(const Bstr& name, IDispatch* item) override {
    names_.push_back(name.ToUtf8());
    items_.emplace_back(item);
    return com::S_OK;
  }
  HRESULT Count(long* count) override {
    *count = static_cast<long>(items_.size());
    return com::S_OK;
  }
  HRESULT Remove(const Bstr&) override { return com::E_NOTIMPL; }
  HRESULT ItemAt(long position, ComPtr<IDispatch>* item) override {
    *item = nullptr;
    if (position < 1 || position > static_cast<long>(items_.size())) return com::DISP_E_BADINDEX;
    *item = items_[static_cast<size_t>(position - 1)];
    return com::S_OK;
  }
  HRESULT Item(const Bstr& name, ComPtr<IDispatch>* item) override {
    *item = nullptr;
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name.ToUtf8()) {
        *item = items_[i];
        return com::S_OK;
      }
    return com::S_FALSE;
  }
  HRESULT NameList(com::Variant*) override { return com::E_NOTIMPL; }
  HRESULT SaveToFile(const Bstr& path) override {
    saved.push_back(path.ToUtf8());
    return com::S_OK;
  }
  HRESULT LoadFromFile(const Bstr& path) override {
    loaded.push_back(path.ToUtf8());
    return path.ToUtf8() == "missing" ? com::E_FAIL : com::S_OK;
  }

 private:
  std::vector<std::string> names_;
  std::vector<ComPtr<IDispatch>> items_;
};

// A collection that cannot be read or written.
class NoFileCollection : public com::ComObject<IZrCollection> {
 public:
  HRESULT Add(const Bstr&, IDispatch*) override { return com::E_NOTIMPL; }
  HRESULT Count(long* count) override {
    *count = 0;
    return com::S_OK;
  }
  HRESULT Remove(const Bstr&) override { return com::E_NOTIMPL; }
  HRESULT ItemAt(long, ComPtr<IDispatch>* item) override {
    *item = nullptr;
    return com::DISP_E_BADINDEX;
  }
  HRESULT Item(const Bstr&, ComPtr<IDispatch>* item) override {
    *item = nullptr;
    return com::S_FALSE;
  }
  HRESULT NameList(com::Variant*) override { return com::E_NOTIMPL; }
};

class CollectionIoTest : public ::testing::Test {
 protected:
  CollectionIoTest() {
    com::RegisterClass<FakeCollection>(components::CLSID_ZrCollection);
    FakeCollection::loaded.clear();
    FakeCollection::saved.clear();
  }
  ~CollectionIoTest() override { com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCollection); }
};

TEST_F(CollectionIoTest, LoadingHandsOutTheCollectionOnlyWhenTheFileWasRead) {
  ComPtr<IZrCollection> got;
  EXPECT_EQ(LoadCollection("a\\bin\\Schedules.zrc", &got), com::S_OK);
  EXPECT_TRUE(got);
  EXPECT_EQ(FakeCollection::loaded, std::vector<std::string>{"a\\bin\\Schedules.zrc"});

  // A failed read leaves no half-loaded collection behind.
  EXPECT_EQ(LoadCollection("missing", &got), com::E_FAIL);
  EXPECT_FALSE(got);

  com::RegisterClass<NoFileCollection>(components::CLSID_ZrCollection);
  got = com::MakeCom<FakeCollection>();
  EXPECT_EQ(LoadCollection("any", &got), com::E_NOINTERFACE);
  EXPECT_FALSE(got);

  com::ClassRegistry::Instance().Unregister(components::CLSID_ZrCollection);
  got = com::MakeCom<FakeCollection>();
  EXPECT_EQ(NewCollection(&got), com::REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(got);
  EXPECT_EQ(LoadCollection("any", &got), com::REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(got);
}

TEST_F(CollectionIoTest, SavingNeedsACollectionThatWritesItself) {
  ComPtr<IZrCollection> fake = com::MakeCom<FakeCollection>();
  EXPECT_EQ(SaveCollection("out.zrc", fake.Get()), com::S_OK);
  EXPECT_EQ(FakeCollection::saved, std::vector<std::string>{"out.zrc"});

  ComPtr<IZrCollection> memoryOnly = com::MakeCom<NoFileCollection>();
  EXPECT_EQ(SaveCollection("out.zrc", memoryOnly.Get()), com::E_NOINTERFACE);
  EXPECT_EQ(SaveCollection("out.zrc", nullptr), com::E_NOINTERFACE);
  EXPECT_EQ(FakeCollection::saved.size(), 1u);
}

TEST_F(CollectionIoTest, LookupsByNameAndPosition) {
  ComPtr<IZrCollection> c = com::MakeCom<FakeCollection>();
  c->Add(Bstr::FromUtf8("persistent"), com::MakeCom<Persistent>().Get());
  c->Add(Bstr::FromUtf8("plain"), com::MakeCom<Plain>().Get());

  struct Case {
    const char* what;
    IZrCollection* collection;
    const char* name;  // by position when null
    long position;
    HRESULT hr;
    bool found;
  };
  const Case cases[] = {
      {"a name whose item answers", c.Get(), "persistent", 0, com::S_OK, true},
      {"a name whose item does not answer", c.Get(), "plain", 0, com::S_FALSE, false},
      {"a name nobody has", c.Get(), "Persistent", 0, com::S_FALSE, false},
      {"no collection, by name", nullptr, "persistent", 0, com::E_POINTER, false},
      {"a position whose item answers", c.Get(), nullptr, 1, com::S_OK, true},
      {"a position whose item does not answer", c.Get(), nullptr, 2, com::S_FALSE, false},
      {"a position past the end", c.Get(), nullptr, 3, com::DISP_E_BADINDEX, false},
      {"position zero", c.Get(), nullptr, 0, com::DISP_E_BADINDEX, false},
      {"no collection, by position", nullptr, nullptr, 1, com::E_POINTER, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // Whatever was there before is replaced, also when nothing is found.
    ComPtr<IZrPersistFile> out = com::MakeCom<Persistent>();
    const HRESULT hr = k.name ? ItemAs(k.collection, Bstr::FromUtf8(k.name), &out)
                              : ItemAtAs(k.collection, k.position, &out);
    EXPECT_EQ(hr, k.hr);
    EXPECT_EQ(static_cast<bool>(out), k.found);
  }
}

TEST(EnsureBinDirectory, CreatesTheBinFolderUnderTheBaseOnce) {
  testing::TempDir dir;
  const std::string saved = g_BasePath;
  g_BasePath = dir / "store";
  platform::FileSystem& fs = platform::RealFileSystem();

  // One level only: without the base there is nothing to create it in.
  EnsureBinDirectory(fs);
  EXPECT_FALSE(std::filesystem::exists(dir / "store"));

  std::filesystem::create_directory(dir / "store");
  EnsureBinDirectory(fs);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "store/bin"));
  std::ofstream(dir / "store/bin/kept") << "x";
  EnsureBinDirectory(fs);
  EXPECT_TRUE(std::filesystem::exists(dir / "store/bin/kept"));
  g_BasePath = saved;
}

}  // namespace
}  // namespace kv::persist
