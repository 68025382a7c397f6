// DynamicLibrary reports by result code: the dispatcher turns the codes into exceptions.
#include "plugin/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Conv.h"

using namespace UpdateNew;

namespace {
std::wstring Plugin(const char* name) {
    return FromMultibyte(std::string(UPDATER_BUILD_DIR) + "/plugins/lib" + name + ".so");
}
}  // namespace

TEST(DynamicLibrary, ResultCodesOfMisuseAndFailure) {
    DynamicLibrary lib;
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(3, lib.Load(nullptr));
    EXPECT_EQ(2, lib.Load(L"/nonexistent/libnothing.so"));
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(2, lib.Unload());
    EXPECT_EQ(nullptr, lib.GetSymbol("InitializeLibA"));  // nothing open: no global search
}

TEST(DynamicLibrary, OpensFindsSymbolsAndForgetsThemWhenClosed) {
    DynamicLibrary lib;
    ASSERT_EQ(0, lib.Load(Plugin("recording").c_str()));
    EXPECT_TRUE(lib.IsLoaded());
    EXPECT_NE(nullptr, lib.GetSymbol("InitializeLibA"));
    EXPECT_NE(nullptr, lib.GetSymbol("UninitializeGuiLibA"));
    EXPECT_EQ(nullptr, lib.GetSymbol("NoSuchEntryPoint"));
    EXPECT_EQ(nullptr, lib.GetSymbol(nullptr));
    EXPECT_EQ(0, lib.Unload());
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(nullptr, lib.GetSymbol("InitializeLibA"));
    // Hidden symbols of the plug-in are not entry points.
    ASSERT_EQ(0, lib.Load(Plugin("noentry").c_str()));
    EXPECT_EQ(nullptr, lib.GetSymbol("InitializeLibA"));
}
