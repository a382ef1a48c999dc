#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/DebugManager.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/EventDispatcher.h"
#include "commonbase/StringUtil.h"
#include "commonbase/Thread.h"
#include "commonbase/XmlDom.h"
#include "support/TestSupport.h"

using namespace commonbase;
using kavreltest::TempDir;

namespace {

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
        {1, "Comp", "plain|"}, {2, "Comp", "WARN: Comp: plain|"}, {3, "", "ERROR: plain|"},
        {4, "X", "FATAL: X: plain|"}, {7, "X", "UNKNOWN: X: plain|"}, {0, "X", "DEBUG: X: plain|"}};
    for (const auto& c : cases) {
        lines.clear();
        DebugManager::instance().write(c.level, WString(c.component), WString("plain"));
        EXPECT_EQ(lines, std::vector<std::string>{c.expected}) << "level " << c.level;
    }
    lines.clear();
    { Dbg d(3, "/x/y/Module.cpp", "op"); } // level 3 trace: entry line only
    { Dbg d(0, "/x/y/Module.cpp", std::string("op")); }
    // A composed text, made because a sink listens, reads the same.
    { Dbg d(0, "/x/y/Module.cpp", [] { return commonbase::cat("op(", 7, ")"); }); }
    DbgInfo(2, "/x/y/Module.cpp", [] { return std::string("late"); });
    EXPECT_EQ(lines, (std::vector<std::string>{"ERROR: Module: op entered|", "DEBUG: Module: op entered|",
                                               "DEBUG: Module: op exit|", "DEBUG: Module: op(7) entered|",
                                               "DEBUG: Module: op(7) exit|", "WARN: Module: late|"}));
}

TEST(Log, FileSinkThresholdCarriageReturnAndWholeLinesFromManyThreads)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "log");
    auto before = DebugManager::instance().numberOfInterfaces();
    EXPECT_EQ(DebugManager::instance().openFile(WString(dir.str() + "missing/"), WString("a.log"), 0),
              static_cast<std::int32_t>(0x80040802u));
    EXPECT_EQ(DebugManager::instance().numberOfInterfaces(), before);
    ASSERT_EQ(DebugManager::instance().openFile(WString(dir.str()), WString("mt.log"), 2), 0);
    for (std::uint16_t level : {1, 2, 0}) DebugManager::instance().write(level, WString("C"), WString("line"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) DbgInfo(3, __FILE__, std::string(40, static_cast<char>('a' + t)));
        });
    for (auto& th : threads) th.join();
    const std::string content = kavreltest::readFile(dir.path() / "log" / "mt.log");
    EXPECT_EQ(content.substr(0, 14), "WARN: C: line\r");
    std::size_t count = 0, start = 14;
    for (std::size_t pos; (pos = content.find('\r', start)) != std::string::npos; start = pos + 1, ++count) {
        std::string body = content.substr(start, pos - start);
        body = body.substr(body.rfind(": ") + 2);
        ASSERT_EQ(body, std::string(40, body[0]));
    }
    EXPECT_EQ(count, 800u);
}

TEST(ErrorTexts, PlaceholdersAndFile)
{
    auto& handler = ErrorHandler::instance();
    EXPECT_EQ(handler.getErrorText(0x7e1).toUtf8(), "!! Unknown Error 07e1 !!");
    EXPECT_EQ(ErrorHandler::hexForm(0x90A), "090a");
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
}

// Entities declared in a document type can grow without bound or reach for
// other files; every reader of ours (settings, texts, tables) refuses them.
TEST(Xml, ParseOutcomesAndRefusedDocumentTypes)
{
    TempDir dir;
    auto schema = dir.write("s.xsd", R"(<?xml version="1.0"?><xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="Root"><xs:complexType><xs:sequence><xs:element name="Value" type="xs:int" maxOccurs="unbounded"/>
  </xs:sequence></xs:complexType></xs:element></xs:schema>)");
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Dictionary [\n <!ENTITY l0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        laughs += " <!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<Dictionary><Label id=\"0801\">&l9;</Label></Dictionary>\n";
    std::string wide = "\xff\xfe"; // the same refusal when the file is UTF-16
    for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><!DOCTYPE D [<!ENTITY e \"x\">]><D>&e;</D>"))
        wide += std::string{c, '\0'};
    const std::uint32_t doctype = XmlDom::errorDoctype;
    struct Case { std::string content; bool useSchema; std::uint32_t code; } cases[] = {
        {"<Root><Value>1</Value></Root>", true, 0},
        {"<Root><Value>abc</Value></Root>", true, 0x906},
        {"<Root><Value>1</Root>", false, 0x905},
        {"<Dictionary><Label id=\"1\">x</Label></Dictionary>", false, 0},
        {laughs, false, doctype},
        {"<?xml version=\"1.0\"?><!DOCTYPE Dictionary SYSTEM \"http://192.0.2.1/x.dtd\"><Dictionary/>", false, doctype},
        {"<!DOCTYPE Dictionary [<!ENTITY file SYSTEM \"file:///etc/passwd\">]><Dictionary>&file;</Dictionary>", false, doctype},
        {wide, false, doctype},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 60));
        auto file = dir.write("Tesvik_Err.xml", c.content);
        XmlDom dom(WString(file.string()), c.useSchema ? WString(schema.string()) : WString());
        EXPECT_EQ(dom.parseFile(true), c.code == 0);
        EXPECT_EQ(dom.getLastError(), c.code);
        EXPECT_EQ(kavreltest::readFile(file), c.content);
        if (c.code == doctype) { EXPECT_FALSE(ErrorHandler::instance().setFile(WString(file.string()))); }
    }
    EXPECT_NE(ErrorHandler::instance().getErrorText(doctype).toUtf8().find("!! Unknown"), 0u);
    XmlDom missing(WString(dir.str() + "nope.xml"), WString());
    EXPECT_FALSE(missing.parseFile(true));
    EXPECT_EQ(missing.getLastError(), 0x905u);
    std::string value;
    EXPECT_FALSE(missing.readValue(value, "Root/Value", ""));
}

TEST(Xml, FindWithFilters)
{
    TempDir dir;
    auto file = dir.write("d.xml", "<Dictionary><Label id=\"0801\">first</Label><Label id=\"0802\">second</Label>"
                                   "<Group><Label>bare</Label></Group></Dictionary>");
    XmlDom dom(WString(file.string()), WString());
    ASSERT_TRUE(dom.parseFile(false));
    EXPECT_NE(dom.findElement(WString("Dictionary/Label"), WString("id=0802")), nullptr);
    struct Case { const char* path; const char* filter; bool found; const char* value; } cases[] = {
        {"Dictionary/Label", "id=0802", true, "second"}, {"Dictionary/Label", "  id = 0802 ", true, "second"},
        {"Label", "id=0801", true, "first"}, {"Dictionary/Label", "id0801", false, ""},
        {"Dictionary/Label", "id=0801=x", false, ""}, {"Other/Label", "", false, ""},
        {"Group/Label", "id=9999", true, "bare"}}; // no attributes: accepted whatever the filter
    for (const auto& c : cases) {
        std::string v;
        EXPECT_EQ(dom.readValue(v, c.path, c.filter), c.found) << c.path << " " << c.filter;
        EXPECT_EQ(v, c.value);
    }
}

// What is saved is read back, whatever encoding the file came in (found by fuzzing: without a
// declaration the parser names the encoding "UTF-16 (LE)", which the writer used to copy); a
// missing file is made, naming its schema. A save that fails leaves the file as it was.
TEST(Xml, SavedFilesReadBackAndFailedSavesLoseNothing)
{
    TempDir dir;
    const std::string body = "<ComParameter><VorlaneRS485><Baudrate>9600</Baudrate></VorlaneRS485></ComParameter>";
    std::string le = "\xff\xfe", be = "\xfe\xff";
    for (char c : body) le += std::string{c, '\0'};
    for (char c : "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body) be += std::string{'\0', c};
    for (const std::string& content : {le, be, std::string()}) {
        const std::string file = content.empty() ? dir.str() + "New.xml" : dir.write("Old.xml", content).string();
        {
            XmlDom dom(WString(file), WString(content.empty() ? dir.str() + "LastSettings.xsd" : ""));
            EXPECT_EQ(dom.parseFile(false), !content.empty());
            ASSERT_TRUE(dom.writeValue("ComParameter/ModbusTCP/IpAddress", "", "10.0.0.1"));
            ASSERT_TRUE(dom.writeValue("ComParameter/Dev/Item", "id=1", "one"));
            ASSERT_TRUE(dom.writeValue("ComParameter/Dev/Item", "id=2", "two"));
            EXPECT_EQ(dom.updateFile(), !content.empty()); // the missing file's parse error stays recorded
        }
        XmlDom again{WString(file), WString()};
        ASSERT_TRUE(again.parseFile(false)) << kavreltest::readFile(file);
        std::string v;
        for (const auto& [path, filter, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
                 {"ComParameter/ModbusTCP/IpAddress", "", "10.0.0.1"}, {"Dev/Item", "id=2", "two"},
                 {"ComParameter/VorlaneRS485/Baudrate", "", content.empty() ? "" : "9600"}}) {
            EXPECT_EQ(again.readValue(v, path, filter), !value.empty()) << path;
            EXPECT_EQ(v, value);
        }
        if (content.empty()) {
            EXPECT_NE(kavreltest::readFile(file).find("xsi:noNamespaceSchemaLocation=\"LastSettings.xsd\""), std::string::npos);
        }
    }
    // A character XML 1.1 allows only as a reference cannot be written out; a folder that is not there
    // cannot be written into; a document without a name cannot be saved.
    const std::string restricted = "<?xml version=\"1.1\"?><Dictionary><Label id=\"1\">&#x82;</Label></Dictionary>";
    auto file = dir.write("Restricted.xml", restricted);
    XmlDom dom(WString(file.string()), WString());
    ASSERT_TRUE(dom.parseFile(false));
    ASSERT_TRUE(dom.writeValue("Dictionary/Label", "id=2", "two"));
    EXPECT_FALSE(dom.updateFile());
    EXPECT_EQ(kavreltest::readFile(file), restricted);
    XmlDom old{WString(dir.str() + "Old.xml"), WString()};
    ASSERT_TRUE(old.parseFile(false));
    const std::string content = kavreltest::readFile(dir.str() + "Old.xml");
    EXPECT_FALSE(old.updateFile(WString(dir.str() + "no/such/dir/x.xml")));
    EXPECT_EQ(old.getLastError(), 0x90Au);
    EXPECT_EQ(kavreltest::readFile(dir.str() + "Old.xml"), content);
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
        for (int i = 0; i < 500 && !isStopRequested(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
    EXPECT_TRUE(t.sawStop && !t.isRunning());
    EXPECT_EQ(listener.count, 1);
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
    for (auto* l : {&a, &a, &b}) dispatcher.addListener(l);
    dispatcher.fireEvent(1);
    dispatcher.fireEvent(2);
    EXPECT_EQ(std::make_pair(a.calls, b.calls), std::make_pair(1, 1));
}

TEST(StringUtil, ParsersRejectGarbage)
{
    EXPECT_EQ(parseDecimal("4294967295"), 4294967295u);
    for (const char* bad : {"4294967296", "12a", ""}) { EXPECT_FALSE(parseDecimal(bad)) << bad; }
    EXPECT_EQ(parseHex("0x1A"), 0x1Au);
    EXPECT_FALSE(parseHex("0xZZ"));
    EXPECT_EQ(leadingDecimal("125k"), 125u);
    EXPECT_EQ(leadingDecimal("AUTO"), 0u);
    EXPECT_EQ((std::vector<std::string>{toHex(0x12345, 8), componentName("/a/b/XmlDom.cpp"), trim(" \t x y\r\n")}),
              (std::vector<std::string>{"00012345", "XmlDom", "x y"}));
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
