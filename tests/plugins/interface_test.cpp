// The binary interface as plugins meet it: the records the core fills for each entry point,
// and which entry points it calls at all over a whole run.
#include <algorithm>

#include "host_fixture.h"

namespace testkit {
namespace {

using Fields = std::vector<uint64_t>;

uint64_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// Each record's fields in order, so that padding never takes part in a comparison.
Fields Of(const _OpenParmsIn& r) {
    return {r.size, r.version, r.reserved[0], r.reserved[1], r.reserved[2]};
}
Fields Of(const _OpenParmsOut& r) { return {r.size, r.version, r.reserved[0], r.reserved[1]}; }
Fields Of(const _CloseParmsIn& r) { return {r.size, r.version, r.reserved}; }
Fields Of(const _CloseParmsOut& r) { return {r.size, r.version, uint64_t(int64_t{r.error})}; }
Fields Of(const _UnloadParmsIn& r) { return {r.size, r.version}; }
Fields Of(const _UnloadParmsOut& r) { return {r.size, r.version, uint64_t(int64_t{r.error})}; }
Fields Of(const _ReadParmsIn& r) {
    return {r.size,          r.version,       r.reserved8, r.one,           r.reserved13[0],
            r.reserved13[1], r.reserved13[2], r.length,    Address(r.data), r.tag};
}
Fields Of(const _ReadParmsOut& r) {
    return {r.size, r.version, r.reserved[0], r.reserved[1], r.reserved[2]};
}
Fields Of(const _IoctlParmsIn& r) {
    return {r.size, r.version, r.code, r.kind, r.one, r.length, Address(r.data)};
}
Fields Of(const _IoctlParmsOut& r) {
    return {r.size, r.version, r.code, uint64_t(int64_t{r.error}), r.pending, r.eight, r.one};
}

// What a plugin saw in each call: the fields of both records and the calling thread.
class Witness {
public:
    template <typename In, typename Out>
    void Note(const std::string& entry, const In& in, const Out& out) {
        std::lock_guard<std::mutex> lock(mutex);
        seen[entry] = {Of(in), Of(out)};
        threads[entry] = std::this_thread::get_id();
    }
    std::pair<Fields, Fields> Seen(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        return seen[entry];
    }
    std::thread::id Thread(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        return threads[entry];
    }
    bool Has(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.count(entry) != 0;
    }

private:
    std::mutex mutex;
    std::map<std::string, std::pair<Fields, Fields>> seen;
    std::map<std::string, std::thread::id> threads;
};

class Interface : public PluginHostTest {
protected:
    template <typename In, typename Out>
    std::function<int32_t(In*, Out*)> Witnessing(const char* entry) {
        return [this, entry](In* in, Out* out) {
            witness.Note(entry, *in, *out);
            return 0;
        };
    }
    PluginHooks WitnessHooks() {
        PluginHooks hooks;
        hooks.open = Witnessing<_OpenParmsIn, _OpenParmsOut>("open");
        hooks.close = Witnessing<_CloseParmsIn, _CloseParmsOut>("close");
        hooks.unload = Witnessing<_UnloadParmsIn, _UnloadParmsOut>("unload");
        hooks.read = Witnessing<_ReadParmsIn, _ReadParmsOut>("read");
        hooks.ioctl = Witnessing<_IoctlParmsIn, _IoctlParmsOut>("ioctl");
        return hooks;
    }
    Witness witness;
};

TEST_F(Interface, CoreFillsEveryRecordItPasses) {
    const Plugin& threads = Take("threads", WitnessHooks());  // a worker and a reader
    core->LoadPlugins();
    core->OpenPlugins();
    core->StartReaderThreads();
    ASSERT_TRUE(WaitFor([&] { return witness.Has("ioctl") && witness.Has("read"); }));
    EXPECT_EQ(threads.EventEntry(), &FlatPluginEvent);
    core->ClosePlugins();
    core->UnloadPlugins();

    EXPECT_EQ(JournalOf("threads")[0], LoadEntry());
    using Pair = std::pair<Fields, Fields>;
    EXPECT_EQ(witness.Seen("open"), (Pair{{20, 1, 0, 0, 0}, {16, 1, 0, 0}}));
    EXPECT_EQ(witness.Seen("close"), (Pair{{12, 1, 0}, {12, 1, 0}}));
    EXPECT_EQ(witness.Seen("unload"), (Pair{{8, 1}, {12, 1, 0}}));
    EXPECT_EQ(witness.Seen("read"),
              (Pair{{sizeof(_ReadParmsIn), 1, 0, 1, 0, 0, 0, 0, 0, 0}, {20, 1, 0, 0, 0}}));
    EXPECT_EQ(witness.Seen("ioctl"),
              (Pair{{sizeof(_IoctlParmsIn), 1, 1, 8, 1, 0, 0}, {28, 1, 1, 0, 0, 8, 1}}));

    const std::thread::id main = std::this_thread::get_id();
    for (const char* entry : {"open", "close", "unload"}) EXPECT_EQ(witness.Thread(entry), main);
    EXPECT_NE(witness.Thread("read"), main);
    EXPECT_NE(witness.Thread("ioctl"), main);
    EXPECT_NE(witness.Thread("read"), witness.Thread("ioctl"));
}

// A whole run: entry points are called only where they exist and where the plugin's flags ask
// for them, and Seek never.
TEST_F(Interface, WholeRunCallsOnlyExportedAndWantedEntryPoints) {
    Install("alpha");          // takes class 0x1 codes up to 0xFF through Write
    Install("no_write_flag");  // its masks take every class 0x1 event, but it wants no Write
    Install("load_only");      // exports Load alone; asks for a worker, a reader and Write
    Install("reader");         // serves direct requests through Read
    core->StartInBackground();
    EXPECT_EQ(Raise(Event(0x00990000u, DVR_CLASS_0, 5)), DVR_RESULT_OK);
    const char request[] = "abc";
    EXPECT_EQ(Raise(Event(0, DVR_CLASS_0, 5, request, 3)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([] { return !Callers("write", "5").empty(); }));
    core->Stop();

    EXPECT_EQ(Callers("write", "5"), (Lines{"alpha", "reader"}));
    const Lines writers = Callers("write");
    EXPECT_EQ(std::count(writers.begin(), writers.end(), "no_write_flag"), 0);
    EXPECT_EQ(Callers("request", "3"), Lines{"reader"});
    EXPECT_TRUE(Callers("seek").empty());
    EXPECT_EQ(JournalOf("load_only"), Lines{LoadEntry()});
    Lines unloaded = Callers("unload");
    std::sort(unloaded.begin(), unloaded.end());
    EXPECT_EQ(unloaded, (Lines{"alpha", "no_write_flag", "reader"}));
}

}  // namespace
}  // namespace testkit
