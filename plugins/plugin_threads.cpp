#include "core/dvrcore.h"
#include "housekeeping/crash_report.h"
#include "plugins/call_records.h"

static void RunWorker(DvrIoctlEntry ioctl, int record) {
    threadRole = {ThreadKind::Worker, record, nullptr};
    PrepareCrashStack();
    _IoctlParmsIn in = DVR_IOCTL_IN_INIT;
    in.code = DVR_IOCTL_WORKER;
    in.kind = 8;
    in.one = 1;
    _IoctlParmsOut out = IoctlOutRecord(DVR_IOCTL_WORKER);
    ioctl(&in, &out);
}

static void RunReader(DvrReadEntry read, int record) {
    threadRole = {ThreadKind::Reader, record, nullptr};
    PrepareCrashStack();
    _ReadParmsIn in = DVR_READ_IN_INIT;
    in.one = 1;
    _ReadParmsOut out = DVR_READ_OUT_INIT;
    read(&in, &out);
}

// A plugin without the entry gets no thread: nothing would run on it.
void ProvideWorkerThread(PLUGININFO& plugin) {
    if (plugin.IOCTL != nullptr) plugin.workerThread = std::thread(RunWorker, plugin.IOCTL, plugin.record);
}

void StartAsyncReader(PLUGININFO& plugin) {
    if (plugin.Read != nullptr) plugin.readerThread = std::thread(RunReader, plugin.Read, plugin.record);
}

void dvrcore::StartReaderThreads() {
    for (PLUGININFO& plugin : plugins)
        if (plugin.loadInfo.wantsReader != 0) StartAsyncReader(plugin);
}
