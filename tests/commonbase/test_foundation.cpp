#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/EventDispatcher.h"
#include "commonbase/MajorMinorProcess.h"
#include "commonbase/StringUtil.h"
#include "commonbase/Thread.h"
#include "commonbase/XmlDom.h"
#include "support/TestSupport.h"

using namespace commonbase;
using kavreltest::TempDir;

namespace {

// Records what the manager hands to a sink.
struct RecordingSink : DebugInterface {
    std::vector<std::string>* lines;
    explicit RecordingSink(std::vector<std::string>* l, std::uint16_t threshold) : lines(l) { setLevel(threshold); }
    bool write(WString levelName, WString component, WString text) override
    {
        lines->push_back(composeDebugLine(levelName, component, text, "|"));
        return true;
    }
};

} // namespace

TEST(Log, LineFormatPerLevel)
{
    // The sink stays with the manager for the rest of the run, so its store must too.
    static std::vector<std::string> lines;
    DebugManager::instance().addInterface(std::make_unique<RecordingSink>(&lines, 0));
    struct Case { std::uint16_t level; const char* component; const char* expected; } cases[] = {
        {1, "Comp", "plain|"},            // INFO: bare text
        {2, "Comp", "WARN: Comp: plain|"},
        {3, "", "ERROR: plain|"},
        {4, "X", "FATAL: X: plain|"},
        {7, "X", "UNKNOWN: X: plain|"},
        {0, "X", "DEBUG: X: plain|"},
    };
    for (const auto& c : cases) {
        lines.clear();
        DebugManager::instance().write(c.level, WString(c.component), WString("plain"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.expected) << "level " << c.level;
    }
    lines.clear();
    { Dbg d(3, "/x/y/Module.cpp", "op"); }
    ASSERT_EQ(lines.size(), 1u); // level 3 trace: entry line only
    EXPECT_EQ(lines[0], "ERROR: Module: op entered|");
    lines.clear();
    { Dbg d(0, "/x/y/Module.cpp", std::string("op")); }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "DEBUG: Module: op exit|");
    // A composed text, made because a sink listens, reads the same.
    lines.clear();
    { Dbg d(0, "/x/y/Module.cpp", [] { return commonbase::cat("op(", 7, ")"); }); }
    DbgInfo(2, "/x/y/Module.cpp", [] { return std::string("late"); });
    EXPECT_EQ(lines, (std::vector<std::string>{"DEBUG: Module: op(7) entered|", "DEBUG: Module: op(7) exit|",
                                               "WARN: Module: late|"}));
}

TEST(Log, FileSinkThresholdAndCarriageReturn)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "log");
    auto before = DebugManager::instance().numberOfInterfaces();
    EXPECT_EQ(DebugManager::instance().openFile(WString(dir.str() + "missing/"), WString("a.log"), 0),
              static_cast<std::int32_t>(0x80040802u));
    EXPECT_EQ(DebugManager::instance().numberOfInterfaces(), before);
    ASSERT_EQ(DebugManager::instance().openFile(WString(dir.str()), WString("warn.log"), 2), 0);
    DebugManager::instance().write(1, WString("C"), WString("info-line"));
    DebugManager::instance().write(2, WString("C"), WString("warn-line"));
    DebugManager::instance().write(0, WString("C"), WString("debug-line"));
    std::string content = kavreltest::readFile(dir.path() / "log" / "warn.log");
    EXPECT_EQ(content, "WARN: C: warn-line\r");
}

TEST(Log, ConcurrentWritersNeverInterleave)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "log");
    ASSERT_EQ(DebugManager::instance().openFile(WString(dir.str()), WString("mt.log"), 3), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                DbgInfo(3, __FILE__, std::string(40, static_cast<char>('a' + t)));
        });
    for (auto& th : threads)
        th.join();
    std::string content = kavreltest::readFile(dir.path() / "log" / "mt.log");
    std::size_t count = 0, start = 0;
    for (std::size_t pos; (pos = content.find('\r', start)) != std::string::npos; start = pos + 1, ++count) {
        std::string line = content.substr(start, pos - start);
        std::string body = line.substr(line.rfind(": ") + 2);
        ASSERT_EQ(body, std::string(40, body[0]));
    }
    EXPECT_EQ(count, 800u);
}

TEST(ErrorTexts, PlaceholdersAndFile)
{
    auto& handler = ErrorHandler::instance();
    EXPECT_EQ(handler.getErrorText(0x7e1).toUtf8(), "!! Unknown Error 07e1 !!");
    TempDir dir;
    auto file = dir.write("err.xml", "<Dictionary><Label id=\"07e2\">  Second text \n</Label>"
                                     "<Label id=\"0AE3\">upper</Label></Dictionary>");
    EXPECT_FALSE(handler.registerErrorCode(0x7e2));
    EXPECT_EQ(handler.getErrorText(0x7e2).toUtf8().rfind("!! No value found in '", 0), 0u);
    ASSERT_TRUE(handler.setFile(WString(file.string())));
    EXPECT_EQ(handler.getErrorText(0x7e2).toUtf8(), "Second text"); // refreshed and trimmed
    EXPECT_FALSE(handler.registerErrorCode(0xae3));                  // upper-case id does not match
    EXPECT_FALSE(handler.setFile(WString(dir.str() + "absent.xml")));
    EXPECT_EQ(handler.getErrorText(0x7e2).toUtf8(), "Second text");
    EXPECT_EQ(ErrorHandler::hexForm(0x90A), "090a");
}

TEST(Xml, ParseOutcomes)
{
    TempDir dir;
    auto schema = dir.write("s.xsd", R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="Root"><xs:complexType><xs:sequence>
    <xs:element name="Value" type="xs:int" maxOccurs="unbounded"/>
  </xs:sequence></xs:complexType></xs:element>
</xs:schema>)");
    struct Case { const char* name; const char* content; bool useSchema; bool ok; std::uint32_t code; } cases[] = {
        {"valid.xml", "<Root><Value>1</Value></Root>", true, true, 0},
        {"invalid.xml", "<Root><Value>abc</Value></Root>", true, false, 0x906},
        {"malformed.xml", "<Root><Value>1</Root>", false, false, 0x905},
        {"noschema.xml", "<Dictionary><Label id=\"1\">x</Label></Dictionary>", false, true, 0},
    };
    for (const auto& c : cases) {
        auto file = dir.write(c.name, c.content);
        XmlDom dom(WString(file.string()), c.useSchema ? WString(schema.string()) : WString());
        EXPECT_EQ(dom.parseFile(true), c.ok) << c.name;
        EXPECT_EQ(dom.getLastError(), c.code) << c.name;
    }
    XmlDom missing(WString(dir.str() + "nope.xml"), WString());
    EXPECT_FALSE(missing.parseFile(true));
    EXPECT_EQ(missing.getLastError(), 0x905u);
    std::string value;
    EXPECT_FALSE(missing.readValue(value, "Root/Value", ""));
}

// Entities declared in a document type can grow without bound or reach for
// other files; every reader of ours (settings, texts, tables) refuses them.
TEST(Xml, DocumentTypesAndEntitiesAreRefused)
{
    TempDir dir;
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Dictionary [\n <!ENTITY l0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        laughs += " <!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<Dictionary><Label id=\"0801\">&l9;</Label></Dictionary>\n";
    std::string wide; // the same refusal when the file is UTF-16
    for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><!DOCTYPE D [<!ENTITY e \"x\">]><D>&e;</D>"))
        wide += std::string{c, '\0'};
    const std::string cases[] = {
        laughs,
        "<?xml version=\"1.0\"?><!DOCTYPE Dictionary SYSTEM \"http://192.0.2.1/x.dtd\"><Dictionary/>",
        "<!DOCTYPE Dictionary [<!ENTITY file SYSTEM \"file:///etc/passwd\">]><Dictionary>&file;</Dictionary>",
        "\xff\xfe" + wide,
    };
    for (const auto& content : cases) {
        auto file = dir.write("Tesvik_Err.xml", content);
        XmlDom dom(WString(file.string()), WString());
        EXPECT_FALSE(dom.parseFile(true)) << content.substr(0, 60);
        EXPECT_EQ(dom.getLastError(), XmlDom::errorDoctype) << content.substr(0, 60);
        EXPECT_EQ(kavreltest::readFile(file), content);
        EXPECT_FALSE(ErrorHandler::instance().setFile(WString(file.string())));
    }
    EXPECT_NE(ErrorHandler::instance().getErrorText(XmlDom::errorDoctype).toUtf8().find("!! Unknown"), 0u);
}

TEST(Xml, FindWithFilters)
{
    TempDir dir;
    auto file = dir.write("d.xml", "<Dictionary><Label id=\"0801\">first</Label><Label id=\"0802\">second</Label>"
                                   "<Group><Label>bare</Label></Group></Dictionary>");
    XmlDom dom(WString(file.string()), WString());
    ASSERT_TRUE(dom.parseFile(false));
    struct Case { const char* path; const char* filter; bool found; const char* value; } cases[] = {
        {"Dictionary/Label", "id=0802", true, "second"},
        {"Dictionary/Label", "  id = 0802 ", true, "second"},
        {"Label", "id=0801", true, "first"},
        {"Dictionary/Label", "id0801", false, ""},
        {"Dictionary/Label", "id=0801=x", false, ""},
        {"Group/Label", "id=9999", true, "bare"}, // no attributes: accepted whatever the filter
        {"Other/Label", "", false, ""},
    };
    for (const auto& c : cases) {
        std::string v;
        EXPECT_EQ(dom.readValue(v, c.path, c.filter), c.found) << c.path << " " << c.filter;
        EXPECT_EQ(v, c.value);
    }
}

TEST(Xml, WriteCreatesChainAndNeverLosesFile)
{
    TempDir dir;
    std::string file = dir.str() + "LastSettings.xml";
    {
        XmlDom dom(WString(file), WString(dir.str() + "LastSettings.xsd"));
        dom.parseFile(false);
        ASSERT_TRUE(dom.writeValue("ComParameter/ModbusTCP/IpAddress", "", "127.0.0.1"));
        ASSERT_TRUE(dom.writeValue("ComParameter/Dev/Item", "id=1", "one"));
        ASSERT_TRUE(dom.writeValue("ComParameter/Dev/Item", "id=2", "two"));
        // The missing file's parse error stays recorded (so the result is false), but the file is written.
        dom.updateFile();
        EXPECT_EQ(dom.getLastError(), 0x905u);
    }
    std::string content = kavreltest::readFile(file);
    EXPECT_NE(content.find("xsi:noNamespaceSchemaLocation=\"LastSettings.xsd\""), std::string::npos);
    XmlDom again{WString(file), WString()};
    ASSERT_TRUE(again.parseFile(false));
    std::string v;
    EXPECT_TRUE(again.readValue(v, "ComParameter/ModbusTCP/IpAddress", ""));
    EXPECT_EQ(v, "127.0.0.1");
    EXPECT_TRUE(again.readValue(v, "Dev/Item", "id=1"));
    EXPECT_EQ(v, "one");
    // A target inside a folder that does not exist cannot be written; the old file stays.
    EXPECT_FALSE(again.updateFile(WString(dir.str() + "no/such/dir/x.xml")));
    EXPECT_EQ(again.getLastError(), 0x90Au);
    EXPECT_EQ(kavreltest::readFile(file), content);
    XmlDom unnamed{WString(), WString()};
    EXPECT_FALSE(unnamed.updateFile());
    EXPECT_EQ(unnamed.getLastError(), 0x909u);
}

namespace {

struct CountingThread : Thread {
    std::atomic<int> runs{0};
    std::atomic<bool> sawStop{false};
    void threadRoutine() override
    {
        ++runs;
        for (int i = 0; i < 500 && !isStopRequested(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sawStop = isStopRequested();
    }
    ~CountingThread() override { join(); }
};

struct CancelListener : EventDispatcherListener<UserCancelEvent> {
    std::atomic<int> count{0};
    void handleEvent(const UserCancelEvent&) override { ++count; }
};

} // namespace

TEST(Threads, StartStopJoinAndRestart)
{
    CountingThread t;
    CancelListener listener;
    t.addListener(&listener);
    ASSERT_TRUE(t.start());
    t.stop(); // right after start: never lost
    t.join();
    EXPECT_TRUE(t.sawStop);
    EXPECT_EQ(listener.count, 1);
    EXPECT_FALSE(t.isRunning());
    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.start()); // still running
    t.stopAndJoin();
    EXPECT_EQ(t.runs, 2);
    t.removeListener(&listener);
    CountingThread never;
    never.stop();
    EXPECT_FALSE(never.isStopRequested());
}

TEST(Events, RemovalDuringDispatch)
{
    struct Self : EventDispatcherListener<int> {
        EventDispatcher<int>* d = nullptr;
        int calls = 0;
        void handleEvent(const int&) override { ++calls; d->removeListener(this); }
    };
    EventDispatcher<int> dispatcher;
    Self a, b;
    a.d = b.d = &dispatcher;
    dispatcher.addListener(&a);
    dispatcher.addListener(&a);
    dispatcher.addListener(&b);
    dispatcher.fireEvent(1);
    dispatcher.fireEvent(2);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 1);
    MajorMinorProcess p;
    EXPECT_DOUBLE_EQ(p.major().fraction(), 0.0);
    p.setMinor(MajorMinorProcess::Counter(3, 4));
    EXPECT_DOUBLE_EQ(p.minor().fraction(), 0.75);
}

TEST(StringUtil, ParsersRejectGarbage)
{
    EXPECT_EQ(parseDecimal("4294967295"), 4294967295u);
    EXPECT_FALSE(parseDecimal("4294967296"));
    EXPECT_FALSE(parseDecimal("12a"));
    EXPECT_FALSE(parseDecimal(""));
    EXPECT_EQ(parseHex("0x1A"), 0x1Au);
    EXPECT_FALSE(parseHex("0xZZ"));
    EXPECT_EQ(leadingDecimal("125k"), 125u);
    EXPECT_EQ(leadingDecimal("AUTO"), 0u);
    EXPECT_EQ(toHex(0x12345, 8), "00012345");
    EXPECT_EQ(componentName("/a/b/XmlDom.cpp"), "XmlDom");
    EXPECT_EQ(trim(" \t x y\r\n"), "x y");
}

// Log texts are matched by readers: cat must print every kind exactly as a stream does.
TEST(StringUtil, CatPrintsLikeAStream)
{
    const char* none = nullptr;
    const std::uint8_t byte = 'A';
    const std::int64_t big = -9223372036854775807LL - 1;
    std::ostringstream expected;
    expected << "id:" << 17 << ',' << -3 << ' ' << std::uint32_t{4294967295u} << byte << big << true
             << std::string("text") << std::string_view("view") << 2.5 << std::filesystem::path("/a b");
    EXPECT_EQ(commonbase::cat("id:", 17, ',', -3, ' ', std::uint32_t{4294967295u}, byte, big, true,
                              std::string("text"), std::string_view("view"), 2.5, std::filesystem::path("/a b")),
              expected.str());
    EXPECT_EQ(commonbase::cat("[", none, "]"), "[]") << "a null text prints nothing";
    EXPECT_EQ(commonbase::cat(), "");
}
