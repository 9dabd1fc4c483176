// The core object: one per process, reachable everywhere through theCore.
//
// Each operation is defined in the folder of the subsystem that owns it; the comment before
// each group names the folder. Data members are grouped the same way. A lock sits beside what
// it guards; state with waiting of its own (the hold table, the request registry, the
// supervisor's identity) is a class of its own that keeps its lock inside.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/level_table.h"
#include "dvrcore/dvrplugin.h"
#include "config/configuration_saver.h"
#include "ipc/supervisor_identity.h"
#include "plugins/hold_table.h"
#include "plugins/plugininfo.h"
#include "plugins/request_threads.h"

class TiXmlDocument;
class TiXmlElement;

class dvrcore {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // core/
    explicit dvrcore(std::string executablePath);
    virtual ~dvrcore();
    virtual TimePoint now();
    // housekeeping/
    virtual void BroadcastStatus();
    // log/
    virtual void WriteLog(uint32_t module, uint32_t level, const char* text);

    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // core/
    bool Init(int descriptor);
    void Start();
    void RequestStop();
    // The event-loop thread; it runs until the stop sequence ends it.
    void StartEventLoop();
    // From the end of delivery to the last unload: posted work, the last save, Close, the event
    // loop's end, Unload, the leak report.
    void StopSequence();
    void FinishPostedWork();
    // Runs `work` on the event-loop thread; false when it has not run within `limit`.
    bool RunOnEventLoop(std::function<void()> work, std::chrono::milliseconds limit);

    // plugins/
    bool LoadPlugins();
    void OpenPlugins();
    void ClosePlugins();
    void UnloadPlugins();
    void StartReaderThreads();
    int32_t PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
    void BroadcastDocument(const TiXmlDocument& document, uint32_t classFlags);
    void RunDeliveryLoop();

    // config/
    void ReadConfiguration();
    void KeepUnreadableConfiguration();
    void WriteConfiguration();
    void ComposeConfiguration(XmlDocument& document);
    void SaveConfiguration(XmlDocument& document, bool broadcast);
    void RetryConfigurationSave();
    void ParseConfig(const std::string& text);
    void WriteStatusDocument();

    // ipc/
    bool OpenChannel(int descriptor);
    void StartReceive();
    void ProcessIPC(const boost::system::error_code& error, unsigned int bytes);
    void SendToSupervisor(void* block, uint32_t length);
    void FreeSendQueue();

    // housekeeping/
    void StartScheduler();
    void CancelScheduler();
    void Scheduler(const boost::system::error_code& error);
    void SetMemoryLow(bool low);
    void StartWatchdog();
    void StopWatchdog();

protected:
    // log/
    // Writes the line when the module's level lets it through; true when the event goes on.
    bool LevelGate(const _EventParmsIn& event);
    // plugins/
    void LoadPlugin(const std::string& path);
    bool AcceptIdentifier(const std::string& fileName, uint32_t id);
    bool AdmitVideoFrame(uint32_t source, uint8_t keyFrame, int32_t* result);
    void StartDirectRequest(const _EventParmsIn& in);
    bool QueueEvent(_EventParmsIn& event, _EventParmsOut* out);
    // Answers `result` for an event that is not queued and counts it against its raiser.
    bool Refuse(const _EventParmsIn& event, _EventParmsOut* out, int32_t result);
    PluginRecord* RecordOfSource(uint32_t source) const;
    void DeliverEvent(const _EventParmsIn& event);
    void UpdatePluginConfiguration(const PLUGININFO& plugin, const _EventParmsIn& event,
                                   HoldTable::Record* hold);
    void ReleaseBlock(void* block, uint32_t holder, _EventParmsOut* out);
    void ReportLeaks();
    // housekeeping/
    // The wall clock in whole seconds; tests replace it to jump the clock.
    virtual std::time_t WallClock();
    int32_t ClockChange(std::time_t second, TimePoint reading) const;
    // What the watchdog remembers of one watched thread's latest call.
    struct Watch {
        CallSlot* slot;
        uint32_t sequence = 0;
        std::chrono::steady_clock::time_point began{};
        int plugin = -1;
        PluginEntry entry = PluginEntry::None;
        bool reported = false;
        std::chrono::steady_clock::duration nextReport = std::chrono::seconds(2);  // first
    };
    void RunWatchdog();
    void Observe(Watch& watch, std::chrono::steady_clock::time_point reading);
    void ReportReturn(const Watch& watch, std::chrono::steady_clock::time_point reading);
    // The process's resident size; tests replace it to reach the limit exactly.
    virtual uint64_t ResidentBytes();
    // core/
    // The minute's wait after a lost supervisor, so that its watchdogs expire first.
    virtual void Linger();
    // ipc/
    void HandlePacket(const uint8_t* packet, uint32_t length);
    void StoreSupervisorIdentity(const uint8_t* payload, uint32_t length);
    void AnswerStatistics(const uint8_t* packet);
    std::unique_ptr<TiXmlElement> PluginStatistics(const PLUGININFO& plugin);
    void RoutePluginPacket(const uint8_t* packet, uint32_t length);
    struct PluginCallee {
        DvrIoctlEntry ioctl = nullptr;
        std::string name;
        int record = -1;
    };
    void CallIpcIoctl(const PluginCallee& callee, const uint8_t* packet, uint32_t length);
    // The plugin gets no more supervisor packets; waits for a call already under way.
    void StopRoutingTo(const PLUGININFO& plugin);
    void WriteFrontBlock(std::size_t offset);
    void Disconnect();

    // plugins/
    // Plugin table. The main thread is its only writer (load, close order, unload) and reads it
    // without the lock; other threads read it under a shared lock and never call into a plugin
    // while they hold it.
    std::vector<PLUGININFO> plugins;
    mutable std::shared_mutex pluginsLock;
    std::map<uint32_t, std::string> moduleNames;
    mutable std::shared_mutex moduleNamesLock;  // the log sink reads it on any thread
    std::map<std::string, std::string> failedPlugins;
    std::mutex deliveryMutex;
    std::condition_variable deliveryCondition;  // queue not empty, or a stop requested
    std::deque<_EventParmsIn> deliveryQueue;
    HoldTable holdTable;
    std::mutex streamMutex;
    std::map<uint32_t, uint32_t> streams;
    RequestRegistry requests;
    bool leaksReported = false;
    // Statistics: what the event path counts, read by the statistics answer.
    std::array<std::atomic<PluginRecord*>, 256> recordsByModule{};  // written at load
    std::atomic<uint64_t> delivered{0};    // delivery thread only
    std::atomic<uint64_t> bytesCopied{0};  // of delivered events; delivery thread only
    uint64_t queuePeak = 0;                // under deliveryMutex

    // ipc/
    boost::asio::io_service eventLoop;
    boost::asio::steady_timer schedulerTimer;
    boost::asio::generic::seq_packet_protocol::socket ipcSocket;
    std::atomic<bool> channelOpen{false};  // read by the event dispatch on any thread
    std::deque<std::pair<void*, uint32_t>> sendQueue;
    alignas(8) std::array<uint8_t, 65536> receiveBuffer{};
    uint32_t receivedBytes = 0;
    boost::asio::socket_base::message_flags receiveFlags = 0;  // filled by each receive
    SupervisorIdentity supervisor;
    std::mutex routeMutex;  // nests inside pluginsLock
    std::condition_variable routeDone;
    const PluginState* routeCallee = nullptr;  // plugin in an IOCTL code 4 call
    std::atomic<bool> linger{false};  // set by the event-loop thread, read by the stop sequence

    // core/
    std::string executablePath;
    std::string productFamily = "Corvane";
    std::string version;
    std::atomic<bool> stopRequested{false};
    using EventLoopWork = boost::asio::executor_work_guard<boost::asio::io_service::executor_type>;
    std::unique_ptr<EventLoopWork> eventLoopWork;  // keeps the loop running until the stop
    std::thread eventLoopThread;

    // config/
    std::atomic<bool> configurationUnsaved{false};  // core.xml is behind the levels in use
    ConfigurationSaver configurationSaver{
        [this](XmlDocument& document, bool broadcast) { SaveConfiguration(document, broadcast); }};

    // log/
    LevelTable logLevels;
    LevelTable defaultLogLevels;

    // housekeeping/ (event-loop thread, but for memoryLow, which video admission reads)
    bool throttling = true;
    std::atomic<bool> memoryLow{false};
    TimePoint lowMemoryTime = TimePoint::max();
    bool schedulerStopped = false;
    uint64_t memoryLimit = 199229440;  // 190 MiB of resident size
    // The watchdog's thread and what it watches: the calls of the main and event-loop threads.
    CallSlot mainSlot;
    CallSlot eventLoopSlot;
    std::thread watchdogThread;
    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool watchdogStopping = false;  // under watchdogMutex
    std::atomic<uint64_t> stalls{0};
    TimePoint startTime = std::chrono::steady_clock::now();
    std::time_t lastWallSecond = 0;    // of the previous tick; 0 before the first
    TimePoint lastTickTime;            // steady clock at the previous tick
};

// The single core object while it exists: set by its constructor, cleared by its destructor.
extern std::atomic<dvrcore*> theCore;

// Worker thread: one IOCTL call with code 1 on a thread of its own.
void ProvideWorkerThread(PLUGININFO& plugin);
// Reader thread: one Read call without data on a thread of its own.
void StartAsyncReader(PLUGININFO& plugin);

const char* GetVersion();
