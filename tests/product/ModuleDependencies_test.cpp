#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "product/UpdateInfo.h"

using namespace UpdateNew;

namespace {

UpdateInfo Product(const std::vector<std::pair<std::wstring, std::wstring>>& modules) {
    UpdateInfo info;
    for (const auto& m : modules) {
        const int i = info.addModule(m.first);
        info.cGetModuleByIndex(i).depend = m.second;
    }
    return info;
}

std::vector<int> Dependents(UpdateInfo& info, int n) {
    std::vector<int> out;
    const DependencyVerdict verdict = info.CollectDependentModules(n, out);
    EXPECT_TRUE(verdict.ok()) << verdict.text;
    return out;
}

}  // namespace

TEST(ModuleDependencies, ChainMarksEveryModuleAbove) {
    // A depends on B, B on C.
    UpdateInfo info = Product({{L"A", L"B"}, {L"B", L"C"}, {L"C", L""}});
    EXPECT_EQ((std::vector<int>{1, 0}), Dependents(info, 2));
    EXPECT_EQ((std::vector<int>{0}), Dependents(info, 1));
    EXPECT_TRUE(Dependents(info, 0).empty());
    EXPECT_TRUE(info.DependsOn(0, 1));
    EXPECT_FALSE(info.DependsOn(1, 0));
    EXPECT_EQ((std::vector<int>{1}), info.cGetModuleByIndex(0).dependencies);
}

TEST(ModuleDependencies, NamesAreTrimmedAndMatchedRegardlessOfCase) {
    UpdateInfo info =
        Product({{L"Core", L""}, {L"Tools", L" \tcore\r\n, \vLIBS\f "}, {L"libs", L""}});
    EXPECT_EQ((std::vector<int>{1}), Dependents(info, 0));
    EXPECT_EQ((std::vector<int>{0, 2}), info.cGetModuleByIndex(1).dependencies);
    EXPECT_EQ((std::vector<int>{1}), Dependents(info, 2));
    EXPECT_EQ(2, info.FindModule(L"LiBs"));
    EXPECT_EQ(-1, info.FindModule(L"lib"));
}

TEST(ModuleDependencies, EmptyPartsAreSkipped) {
    UpdateInfo info = Product({{L"A", L",B,,"}, {L"B", L""}});
    EXPECT_EQ((std::vector<int>{0}), Dependents(info, 1));
}

TEST(ModuleDependencies, ModuleReachableTwiceIsListedOnce) {
    // D depends on B and C, both depend on A.
    UpdateInfo info = Product({{L"A", L""}, {L"B", L"A"}, {L"C", L"A"}, {L"D", L"B,C"}});
    EXPECT_EQ((std::vector<int>{1, 3, 2}), Dependents(info, 0));
    // Each module on the two before it: 2^60 paths, each module still visited once.
    std::vector<std::pair<std::wstring, std::wstring>> web{{L"m0", L""}, {L"m1", L"m0"}};
    for (int i = 2; i < 60; ++i)
        web.push_back({std::to_wstring(i), web[i - 1].first + L"," + web[i - 2].first});
    info = Product(web);
    EXPECT_EQ(59u, Dependents(info, 0).size());
}

TEST(ModuleDependencies, UnknownModuleGives250) {
    UpdateInfo info = Product({{L"A", L"B, X"}, {L"B", L""}});
    std::vector<int> out;
    const DependencyVerdict verdict = info.CollectDependentModules(1, out);
    EXPECT_EQ(250, verdict.status);
    EXPECT_NE(std::wstring::npos, verdict.text.find(L"\"X\"")) << verdict.text;
    EXPECT_NE(std::wstring::npos, verdict.text.find(L"\"A\"")) << verdict.text;
    EXPECT_TRUE(out.empty());
}

TEST(ModuleDependencies, ModulesNamingEachOtherGive249) {
    UpdateInfo info = Product({{L"A", L"B"}, {L"B", L"a"}});
    const DependencyVerdict verdict = info.BuildDependencies();
    EXPECT_EQ(249, verdict.status);
    EXPECT_NE(std::wstring::npos, verdict.text.find(L"Module 0  already depends on module 1\n"))
        << verdict.text;
}

TEST(ModuleDependencies, CyclesThePairwiseTestMissesGive249) {
    {
        UpdateInfo info = Product({{L"A", L""}, {L"Self", L"A, self"}});
        std::vector<int> out;
        const DependencyVerdict verdict = info.CollectDependentModules(0, out);
        EXPECT_EQ(249, verdict.status);
        EXPECT_NE(std::wstring::npos, verdict.text.find(L"\"Self\" -> \"Self\"")) << verdict.text;
        EXPECT_TRUE(out.empty());
    }
    {
        UpdateInfo info = Product({{L"A", L"B"}, {L"B", L"C"}, {L"C", L"A"}, {L"D", L""}});
        const DependencyVerdict verdict = info.BuildDependencies();
        EXPECT_EQ(249, verdict.status);
        EXPECT_NE(std::wstring::npos, verdict.text.find(L"\"A\" -> \"B\" -> \"C\" -> \"A\""))
            << verdict.text;
    }
    {
        // A cycle away from the module asked about still makes the relation unusable.
        UpdateInfo info =
            Product({{L"X", L""}, {L"P", L"Q"}, {L"Q", L"R"}, {L"R", L"S"}, {L"S", L"P"}});
        EXPECT_EQ(249, info.BuildDependencies().status);
    }
}

TEST(ModuleDependenciesTest, UnusableRelationFailsTheRunWithItsStatus) {
    const struct {
        std::vector<std::pair<std::wstring, std::wstring>> modules;
        int status;
        const wchar_t* reason;
    } cases[] = {
        {{{L"A", L"nope"}}, 250, L"\"A\" depends on \"nope\""},
        {{{L"A", L"B"}, {L"B", L"C"}, {L"C", L"A"}},
         249,
         L"cycle: \"A\" -> \"B\" -> \"C\" -> \"A\""},
        {{{L"A", L"B"}, {L"B", L"A"}}, 249, L"(\"A\" and \"B\")"},
    };
    for (const auto& c : cases) {
        UpdateInfo info = Product(c.modules);
        try {
            info.GetDependentModules(0);
            ADD_FAILURE() << c.reason;
        } catch (const CModuleDependencyException& e) {
            EXPECT_EQ(c.status, e.exitStatus());
            EXPECT_EQ(ERR_XML, e.code());
            EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(c.reason)) << e.twhat();
        }
    }
}
