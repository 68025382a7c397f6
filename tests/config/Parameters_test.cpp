#include "config/Parameters.h"

#include <gtest/gtest.h>

#include <map>

#include "base/Messages.h"
#include "support/ParamTestUtil.h"

using namespace UpdateNew;

namespace {

const std::wstring kNone = Parameter::kNoDefault;

// A small table exercising every kind of declaration.
class SmallTable : public Parameters {
public:
    SmallTable() {
        declare(0, L"retries", 1, L"How often", L"1");
        declare(1, L"name", 1, L"A name", kNone);
        declare(2, L"list", 1, L"A list", kNone, false, false, true);
        declare(3, L"flag", 0, L"A switch", kNone);
        declare(4, L"MixedCase", 1, L"Mixed", kNone);
        declare(5, L"config", 1, L"Config file", L"/etc/x.conf");
        declare(6, L"needsname", 1, L"Needs name", kNone, false, false, false, 1);
    }
};

class ParametersTest : public ::testing::Test {};

}  // namespace

// --- Parameter -------------------------------------------------------------------------

TEST_F(ParametersTest, DefaultRuleSetsOnlyOptionalOneValueDeclarations) {
    Parameters t;
    t.declare(0, L"a", 1, L"", L"5");
    t.declare(1, L"b", 1, L"", L"x", false, false, true);
    t.declare(2, L"c", 1, L"", kNone);
    t.declare(3, L"d", 1, L"", L"7", false, true);  // mandatory: must come from outside
    t.declare(4, L"e", 0, L"", L"1");               // a switch cannot hold a default
    EXPECT_TRUE(t.isSet(0));
    EXPECT_EQ(L"5", t.findById(0)->getValue(0));
    EXPECT_TRUE(t.isSet(1));
    EXPECT_EQ(std::vector<std::wstring>{L"x"}, t.findById(1)->getValues());
    EXPECT_FALSE(t.isSet(2));
    EXPECT_FALSE(t.isSet(3));
    EXPECT_EQ(L"", t.findById(3)->getValue(0));
    EXPECT_FALSE(t.isSet(4));
}

TEST_F(ParametersTest, GetValueIndexIsBoundedByTheValueCount) {
    Parameters t;
    t.declare(0, L"sw", 0, L"", kNone);
    t.declare(1, L"one", 1, L"", L"d");
    Parameter& sw = *t.findById(0);
    Parameter& one = *t.findById(1);
    EXPECT_EQ(L"", sw.getValue(0));
    ExpectCritical([&] { sw.getValue(1); }, Msg<354>(std::wstring(L"sw")), 631);
    EXPECT_EQ(L"d", one.getValue(0));
    EXPECT_EQ(L"", one.getValue(1));  // the second slot exists but nothing fills it
    one.setValue(1, L"second");
    EXPECT_EQ(L"second", one.getValue(1));
    EXPECT_EQ(L"d", one.getValue(0));
    ExpectCritical([&] { one.getValue(2); }, Msg<354>(std::wstring(L"one")), 631);
    // The reference is the stored value itself.
    one.getValue(0) = L"changed";
    EXPECT_EQ(L"changed", t.getValue(1));
}

TEST_F(ParametersTest, ListsOnlyForMultipleOptionsAndOnlyAppended) {
    SmallTable t;
    Parameter& list = *t.find(L"list");
    Parameter& name = *t.find(L"name");
    ExpectCritical([&] { name.getValues(); }, Msg<355>(std::wstring(L"name")), 631);
    EXPECT_FALSE(list.isSet());
    list.setValue(0, L"a");
    list.setValue(0, L"b");
    EXPECT_TRUE(list.isSet());
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), list.getValues());
    ExpectCritical([&] { list.setValue(1, L"c"); }, Msg<356>(std::wstring(L"list")), 631);
    EXPECT_EQ(2u, list.getValues().size());
    name.setValue(0, L"first");
    name.setValue(0, L"later");  // replaces, never merges
    EXPECT_EQ(L"later", name.getValue(0));
}

TEST_F(ParametersTest, EqualityComparesNamesOnly) {
    Parameters a, b;
    a.declare(1, L"same", 1, L"help one", L"1");
    b.declare(2, L"same", 0, L"help two", kNone);
    b.declare(1, L"Same", 1, L"help one", L"1");
    const Parameter& x = *a.findById(1);
    const Parameter& y = *b.findById(2);
    const Parameter& z = *b.findById(1);
    EXPECT_TRUE(x == y);
    EXPECT_FALSE(x == z);
    EXPECT_TRUE(x == std::wstring(L"same"));
    EXPECT_FALSE(x == std::wstring(L"SAME"));
}

// --- Help output -----------------------------------------------------------------------

TEST_F(ParametersTest, HelpEntryLayout) {
    Parameters t;
    t.declare(1, L"target", 1, L"The target", kNone);
    t.declare(2, L"source", 1, L"The source", L"here", true, true, false, 1);
    t.declare(3, L"go", 0, L"Go now", kNone);
    t.declare(4, L"self", 1, L"Needs itself", kNone, false, false, false, 4);
    EXPECT_EQ("\n--target=<|@NODEFAULT@|>\nThe target",
              Captured([&](FILE* f) { t.findById(1)->printUtf8(f); }));
    EXPECT_EQ("\n--source=<here>\nThe source[mandatory][alone][depends on:target]",
              Captured([&](FILE* f) { t.findById(2)->printUtf8(f); }));
    EXPECT_EQ("\n--go\nGo now", Captured([&](FILE* f) { t.findById(3)->printUtf8(f); }));
    EXPECT_EQ("\n--self=<|@NODEFAULT@|>\nNeeds itself[depends on:self]",
              Captured([&](FILE* f) { t.findById(4)->printUtf8(f); }));
    // The table prints every entry in declaration order.
    EXPECT_EQ(Captured([&](FILE* f) {
                  for (const Parameter& p : t) p.printUtf8(f);
              }),
              Captured([&](FILE* f) { t.printUtf8(f); }));
}

TEST_F(ParametersTest, HelpWithoutOwnerOmitsTheDependency) {
    Parameter p(nullptr, 1, L"alone", 1, L"h", kNone, false, false, false, 7);
    EXPECT_EQ("\n--alone=<|@NODEFAULT@|>\nh", Captured([&](FILE* f) { p.printUtf8(f); }));
}

TEST_F(ParametersTest, WideAndUtf8HelpCarryTheSameText) {
    Parameters t;
    t.declare(1, L"gr\u00fc\u00dfe", 1, L"Stra\u00dfe \u20ac", L"\u00e4");
    const std::string expected = WideToUtf8(L"\n--gr\u00fc\u00dfe=<\u00e4>\nStra\u00dfe \u20ac");
    EXPECT_EQ(expected, Captured([&](FILE* f) { t.printUtf8(f); }));
    // Wide output is converted by the C library with the locale's encoding; compare in
    // the same encoding.
    EnsureLocale();
    std::string mb;
    if (WideToMultibyte(L"\n--gr\u00fc\u00dfe=<\u00e4>\nStra\u00dfe \u20ac", mb)) {
        EXPECT_EQ(mb, Captured([&](FILE* f) { t.print(f); }));
    }
    // A stream already used for narrow output still receives the whole entry.
    EXPECT_EQ("x" + expected, Captured([&](FILE* f) {
                  std::fputs("x", f);
                  t.printUtf8(f);
              }));
}

// --- Lookup ----------------------------------------------------------------------------

TEST_F(ParametersTest, LookupByNameIgnoresCaseAndByIdTakesTheFirst) {
    Parameters t;
    t.declare(7, L"TmpFilesList", 1, L"", kNone);
    t.declare(8, L"plain", 1, L"", L"p1");
    t.declare(8, L"plain%d", 1, L"", L"p2");
    EXPECT_EQ(L"TmpFilesList", t.find(L"tmpfileslist")->name());
    EXPECT_EQ(L"TmpFilesList", t.find(L"TMPFILESLIST")->name());
    EXPECT_EQ(t.end(), t.find(L"tmpfiles"));
    EXPECT_EQ(L"plain", t.findById(8)->name());
    EXPECT_EQ(t.end(), t.findById(99));
    EXPECT_EQ(L"p1", t.getValue(8));
    EXPECT_EQ(L"p2", t.getValue(std::wstring(L"plain%d")));
    EXPECT_EQ(L"", t.getValue(99));
    EXPECT_EQ(L"", t.getValue(std::wstring(L"nothing")));
    EXPECT_FALSE(t.isSet(7));
    EXPECT_FALSE(t.isSet(99));
    EXPECT_TRUE(t.isSet(8));
}

// --- Validation ------------------------------------------------------------------------

TEST_F(ParametersTest, ValidationRules) {
    {
        Parameters t;
        t.declare(1, L"two", 2, L"", kNone, true);
        ExpectCritical([&] { t.validate(); }, Msg<357>(std::wstring(L"two")), 631);
    }
    {
        Parameters t;
        t.declare(1, L"one", 1, L"", kNone, true);  // alone with one value is fine
        t.declare(2, L"must", 1, L"", kNone, false, true);
        ExpectCritical([&] { t.validate(); }, Msg<358>(std::wstring(L"must")), 631);
        t.findById(2)->setValue(0, L"v");
        EXPECT_NO_THROW(t.validate());
    }
    {
        Parameters t;
        t.declare(1, L"sw", 0, L"", L"on");
        ExpectCritical([&] { t.validate(); }, Msg<359>(std::wstring(L"sw")), 631);
        t.findById(1)->setValue(0, L"");
        EXPECT_NO_THROW(t.validate());  // only an unset declaration is caught
    }
    {
        Parameters t;
        t.declare(1, L"orphan", 1, L"", kNone, false, false, false, 42);
        EXPECT_NO_THROW(t.validate());  // checked only when set
        t.findById(1)->setValue(0, L"v");
        ExpectCritical([&] { t.validate(); }, Msg<360>(std::wstring(L"orphan"), 42), 631);
    }
    {
        SmallTable t;
        t.find(L"needsname")->setValue(0, L"v");
        ExpectCritical([&] { t.validate(); },
                       Msg<361>(std::wstring(L"needsname"), std::wstring(L"name")), 631);
        t.find(L"name")->setValue(0, L"n");
        EXPECT_NO_THROW(t.validate());
    }
}

TEST_F(ParametersTest, ValidationStopsAtTheFirstFailureInTableOrder) {
    Parameters t;
    t.declare(1, L"first", 1, L"", kNone, false, true);
    t.declare(2, L"second", 1, L"", kNone, false, true);
    ExpectCritical([&] { t.validate(); }, Msg<358>(std::wstring(L"first")), 631);
}

// --- Command-line parse ----------------------------------------------------------------

namespace {

struct ParseRun {
    std::map<std::wstring, std::wstring> data;
    std::vector<std::wstring> configReads;
    std::function<void(const std::wstring&)> onRead;

    bool operator()(Parameters& t, const Argv& a) {
        return t.parseCommandLine(a.argc(), a.argv(), 5, data, [this](const std::wstring& v) {
            configReads.push_back(v);
            if (onRead) onRead(v);
        });
    }
};

}  // namespace

TEST_F(ParametersTest, KeysAreLowerCasedValuesKeepTheirCase) {
    SmallTable t;
    ParseRun run;
    EXPECT_TRUE(run(t, Argv{L"--Retries=5", L"--NAME=AbC", L"--mixedcase=Q"}));
    EXPECT_EQ(L"5", t.getValue(0));
    EXPECT_EQ(L"AbC", t.getValue(1));
    EXPECT_EQ(L"Q", t.getValue(std::wstring(L"MixedCase")));
    // Known pairs are handed to the plug-ins too, under the lower-cased key.
    EXPECT_EQ(L"AbC", run.data[L"name"]);
    EXPECT_EQ(L"5", run.data[L"retries"]);
}

TEST_F(ParametersTest, EverythingAfterTheFirstEqualsSignIsTheValue) {
    SmallTable t;
    ParseRun run;
    run(t, Argv{L"--list=NAME=value", L"--name=", L"--list=a==b"});
    EXPECT_EQ((std::vector<std::wstring>{L"NAME=value", L"a==b"}), t.find(L"list")->getValues());
    EXPECT_TRUE(t.isSet(1));
    EXPECT_EQ(L"", t.getValue(1));
}

TEST_F(ParametersTest, UnknownPairsAreOnlyRecordedTheLaterOneWinning) {
    SmallTable t;
    ParseRun run;
    EXPECT_TRUE(run(t, Argv{L"--NoSuch=1", L"--nosuch=2", L"--other=X=Y"}));
    EXPECT_EQ(L"2", run.data[L"nosuch"]);
    EXPECT_EQ(L"X=Y", run.data[L"other"]);
    EXPECT_EQ(0u, run.data.count(L"NoSuch"));
}

TEST_F(ParametersTest, SwitchesAndValueOptionsAreNotInterchangeable) {
    {
        SmallTable t;
        ParseRun run;
        run(t, Argv{L"--FLAG"});
        EXPECT_TRUE(t.isSet(3));
        EXPECT_EQ(L"", t.getValue(3));
        EXPECT_TRUE(run.data.empty());  // switches are not configuration data
    }
    {
        SmallTable t;
        ParseRun run;
        ExpectCritical([&] { run(t, Argv{L"--name"}); }, Msg<363>(std::wstring(L"name")), 632);
    }
    {
        SmallTable t;
        ParseRun run;
        ExpectCritical([&] { run(t, Argv{L"--NoSuchSwitch"}); },
                       Msg<362>(std::wstring(L"nosuchswitch")), 632);
    }
    {
        // A switch given with a value is set (the value is kept but means nothing).
        SmallTable t;
        ParseRun run;
        run(t, Argv{L"--flag=0"});
        EXPECT_TRUE(t.isSet(3));
        EXPECT_EQ(L"0", run.data[L"flag"]);
    }
}

TEST_F(ParametersTest, EveryArgumentNeedsTwoDashes) {
    for (const wchar_t* bad : {L"retries=5", L"-retries=5", L"", L"\u2014retries=5"}) {
        SmallTable t;
        ParseRun run;
        ExpectCritical([&] { run(t, Argv{L"--name=x", bad}); }, Msg<124>(std::wstring(bad)), 632);
        EXPECT_TRUE(run.configReads.empty());  // pass 1 already fails
    }
    // A bare "--" is a switch with an empty name.
    SmallTable t;
    ParseRun run;
    ExpectCritical([&] { run(t, Argv{L"--"}); }, Msg<362>(std::wstring(L"")), 632);
}

TEST_F(ParametersTest, NumberedSpellingsAreNotRecognised) {
    Parameters t;
    t.declare(1, L"url%d", 1, L"", kNone, false, false, true);
    ParseRun run;
    run(t, Argv{L"--url1=x"});
    EXPECT_FALSE(t.isSet(1));
    EXPECT_EQ(L"x", run.data[L"url1"]);
}

TEST_F(ParametersTest, ConfigurationFileIsReadBetweenThePasses) {
    SmallTable t;
    ParseRun run;
    // The "file" gives a name and two list entries; the command line comes after it.
    run.onRead = [&](const std::wstring&) {
        EXPECT_FALSE(t.isSet(1));  // pass 2 has not run yet
        t.find(L"name")->setValue(0, L"from-file");
        t.find(L"list")->setValue(0, L"file1");
        t.find(L"list")->setValue(0, L"file2");
    };
    run(t, Argv{L"--flag", L"--name=cmd", L"--Config=/srv/a.conf", L"--list=cmd1",
                L"--config=/srv/ignored.conf"});
    EXPECT_EQ((std::vector<std::wstring>{L"/srv/a.conf"}), run.configReads);
    EXPECT_EQ(L"cmd", t.getValue(1));
    EXPECT_EQ((std::vector<std::wstring>{L"file1", L"file2", L"cmd1"}),
              t.find(L"list")->getValues());
    // Pass 2 gives the option the last spelling on the command line.
    EXPECT_EQ(L"/srv/ignored.conf", t.getValue(5));
}

TEST_F(ParametersTest, ConfigurationFileDefaultIsReadOnAnEmptyCommandLine) {
    SmallTable t;
    ParseRun run;
    EXPECT_TRUE(run(t, Argv{}));
    EXPECT_EQ((std::vector<std::wstring>{L"/etc/x.conf"}), run.configReads);
    EXPECT_TRUE(t.isSet(0));  // the declaration with a default
    EXPECT_EQ(L"1", t.getValue(0));
    EXPECT_TRUE(run.data.empty());
}

TEST_F(ParametersTest, NoArgumentVectorIsAnEmptyCommandLine) {
    SmallTable t;
    std::map<std::wstring, std::wstring> data;
    std::vector<std::wstring> reads;
    EXPECT_TRUE(t.parseCommandLine(3, nullptr, 5, data,
                                   [&](const std::wstring& v) { reads.push_back(v); }));
    EXPECT_EQ((std::vector<std::wstring>{L"/etc/x.conf"}), reads);
}

TEST_F(ParametersTest, NoConfigurationFileNoRead) {
    Parameters t;
    t.declare(5, L"config", 1, L"", kNone);
    ParseRun run;
    run(t, Argv{});
    EXPECT_TRUE(run.configReads.empty());
}

TEST_F(ParametersTest, FailuresKeepWhatWasSetAndValidateRunsLast) {
    SmallTable t;
    ParseRun run;
    ExpectCritical(
        [&] {
            run(t, Argv{L"--name=kept", L"--bogus"});
        },
        Msg<362>(std::wstring(L"bogus")), 632);
    EXPECT_EQ(L"kept", t.getValue(1));

    SmallTable u;
    ParseRun run2;
    ExpectCritical([&] { run2(u, Argv{L"--needsname=x"}); },
                   Msg<361>(std::wstring(L"needsname"), std::wstring(L"name")), 631);
}

TEST_F(ParametersTest, HookFailureEndsTheParse) {
    SmallTable t;
    ParseRun run;
    run.onRead = [](const std::wstring&) { THROW_CRITICAL(L"unreadable", 618); };
    ExpectCritical([&] { run(t, Argv{L"--name=x"}); }, L"unreadable", 618);
    EXPECT_FALSE(t.isSet(1));
}
