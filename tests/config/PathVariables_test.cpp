#include "config/PathVariables.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/Messages.h"
#include "base/PathList.h"
#include "support/ConfigTestUtil.h"

using namespace UpdateNew;

namespace {

class PathVariablesTest : public ::testing::Test {
protected:
    std::wstring expanded(std::wstring text, bool env = true, bool dotSlash = true) {
        vars.expandVariables(text, env, dotSlash);
        return text;
    }

    PathVariables vars;
};

TEST_F(PathVariablesTest, NamesAreCaseInsensitiveAndRedefinitionReplaces) {
    vars.setVariable(L"INSTALL_DIR", L"/opt/old");
    vars.setVariable(L"Install_Dir", L"/opt/product");
    EXPECT_EQ(L"/opt/product/bin", expanded(L"%install_dir%/bin"));
    EXPECT_EQ(L"/opt/product/bin", expanded(L"%INSTALL_DIR%/bin"));
    EXPECT_EQ(L"/opt/product", vars.getVariable(L"iNsTaLl_dIr"));
    EXPECT_EQ(1u, vars.variables().count(L"install_dir"));
}

TEST_F(PathVariablesTest, PackedValuesReadAsAnyOtherAndAreReplacedByEither) {
    vars.setPackedVariable(L"UPDATED_FILES", PathList::Pack(L"\"/opt/d\u00e9j\u00e0\" "));
    EXPECT_TRUE(vars.isDefined(L"updated_files"));
    EXPECT_EQ(L"[\"/opt/d\u00e9j\u00e0\" ]", expanded(L"[%UPDATED_FILES%]"));
    vars.setVariable(L"Updated_Files", L"plain");
    EXPECT_EQ(L"plain", vars.getVariable(L"UPDATED_FILES"));
    vars.setPackedVariable(L"UPDATED_FILES", PathList::Pack(L"packed"));
    EXPECT_EQ(L"packed", vars.getVariable(L"UPDATED_FILES"));
}

TEST_F(PathVariablesTest, EveryOccurrenceAndNestedReferencesAreExpanded) {
    vars.setVariable(L"TEMP_DIR", L"/tmp");
    vars.setVariable(L"PROCESSID", L"4711");
    vars.setVariable(L"UPDATE_TEMP", L"%TEMP_DIR%/Update_%PROCESSID%");
    EXPECT_EQ(L"/tmp/Update_4711/x", expanded(L"%UPDATE_TEMP%/x"));
    EXPECT_EQ(L"4711-4711", expanded(L"%PROCESSID%-%processid%"));
    EXPECT_EQ(L"no variables", expanded(L"no variables"));
}

TEST_F(PathVariablesTest, DotSlashRemoval) {
    EXPECT_EQ(L"a/b", expanded(L"a/./b"));
    EXPECT_EQ(L"x", expanded(L"./x"));
    EXPECT_EQ(L"../x", expanded(L"../x"));
    EXPECT_EQ(L"namex", expanded(L"name./x"));
    EXPECT_EQ(L"a/../b/c", expanded(L"a/.././b/./c"));
    EXPECT_EQ(L"a/./b", expanded(L"a/./b", true, false));
}

TEST_F(PathVariablesTest, EnvironmentFallback) {
    setenv("UPD_TEST_HOME", "/home/tester", 1);
    unsetenv("UPD_TEST_MISSING");
    EXPECT_EQ(L"/home/tester/x", expanded(L"%UPD_TEST_HOME%/x"));
    // Exactly the case written in the text is looked up.
    ExpectCriticalError([&] { expanded(L"%upd_test_home%/x"); },
                        Msg<151>(std::wstring(L"upd_test_home")), ERR_VARIABLE_UNDEFINED);
    ExpectCriticalError([&] { expanded(L"%UPD_TEST_MISSING%"); },
                        Msg<151>(std::wstring(L"UPD_TEST_MISSING")), ERR_VARIABLE_UNDEFINED);
    unsetenv("UPD_TEST_HOME");
}

TEST_F(PathVariablesTest, WithoutEnvironmentExpansionStopsAtTheFirstUnknownName) {
    setenv("UPD_TEST_HOME", "/home/tester", 1);
    vars.setVariable(L"X", L"val");
    vars.setVariable(L"Y", L"why");
    EXPECT_EQ(L"val/%UPD_TEST_HOME%/%Y%", expanded(L"%X%/%UPD_TEST_HOME%/%Y%", false));
    // Every occurrence of a known name is replaced at once, also behind the stop.
    EXPECT_EQ(L"val/%nope%/val", expanded(L"%X%/%nope%/%X%", false));
    EXPECT_EQ(L"%%", expanded(L"%%", false));
    unsetenv("UPD_TEST_HOME");
}

TEST_F(PathVariablesTest, LiteralPercentSignsCannotSurvive) {
    ExpectCriticalError([&] { expanded(L"50%"); }, Msg<154>(std::wstring(L"50%")),
                        ERR_VARIABLE_SYNTAX);
    ExpectCriticalError([&] { expanded(L"100%%"); }, Msg<150>(), ERR_VARIABLE_EMPTY_NAME);
}

TEST_F(PathVariablesTest, SetAndGetRefuseEmptyNamesAndValues) {
    ExpectCriticalError([&] { vars.setVariable(L"", L"v"); },
                        Msg<148>(std::wstring(), std::wstring(L"v")), ERR_SET_VARIABLE);
    ExpectCriticalError([&] { vars.setVariable(L"N", L""); },
                        Msg<148>(std::wstring(L"N"), std::wstring()), ERR_SET_VARIABLE);
    ExpectCriticalError([&] { vars.getVariable(L""); }, Msg<150>(), ERR_VARIABLE_EMPTY_NAME);
    ExpectCriticalError([&] { vars.getVariable(L"nope"); }, Msg<151>(std::wstring(L"nope")),
                        ERR_VARIABLE_UNDEFINED);
}

TEST_F(PathVariablesTest, SelfReferenceIsRefusedInsteadOfExpandingWithoutEnd) {
    vars.setVariable(L"GROW", L"x%GROW%");
    vars.setVariable(L"DOUBLE", L"%DOUBLE%%DOUBLE%");
    vars.setVariable(L"PING", L"%PONG%");
    vars.setVariable(L"PONG", L"%ping%");
    for (const wchar_t* text : {L"%GROW%", L"a/%DOUBLE%", L"%PING%/b"}) {
        std::wstring value(text);
        try {
            vars.expandVariables(value, true, true);
            ADD_FAILURE() << "no exception for " << ToMultibyte(text);
        } catch (const CUpdateCriticalException& e) {
            EXPECT_EQ(ERR_VARIABLE_SYNTAX, e.code());
            EXPECT_LE(value.size(), PathVariables::kMaxExpandedLength * 2);
        }
    }
    // The report names the variable.
    std::wstring value(L"%GROW%");
    try {
        vars.expandVariables(value, false, false);
        ADD_FAILURE();
    } catch (const CUpdateCriticalException& e) {
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"GROW"));
    }
}

TEST_F(PathVariablesTest, VariablePairs) {
    vars.addVariablePair(L"MYDIR=/opt/x");
    EXPECT_EQ(L"/opt/x/y", expanded(L"%mydir%/y"));
    vars.addVariablePair(L"\"QUOTED=/opt/q=1\"");
    EXPECT_EQ(L"/opt/q=1", vars.getVariable(L"quoted"));
    ExpectCriticalError([&] { vars.addVariablePair(L"MYDIR"); }, Msg<364>(std::wstring(L"MYDIR")),
                        ERR_INVALID_PARAMETER);
    ExpectCriticalError([&] { vars.addVariablePair(L"MYDIR="); },
                        Msg<148>(std::wstring(L"MYDIR"), std::wstring()), ERR_SET_VARIABLE);
}

}  // namespace
