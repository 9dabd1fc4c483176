#include "core/dvrcore.h"

static void RunWorker(DvrIoctlEntry ioctl) {
    _IoctlParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.code = DVR_IOCTL_WORKER;
    in.kind = 8;
    in.one = 1;
    _IoctlParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    out.code = DVR_IOCTL_WORKER;
    out.eight = 8;
    out.one = 1;
    ioctl(&in, &out);
}

static void RunReader(DvrReadEntry read) {
    _ReadParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.one = 1;
    _ReadParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    read(&in, &out);
}

// A plugin without the entry gets no thread: nothing would run on it.
void ProvideWorkerThread(PLUGININFO& plugin) {
    if (plugin.IOCTL != nullptr) plugin.workerThread = std::thread(RunWorker, plugin.IOCTL);
}

void StartAsyncReader(PLUGININFO& plugin) {
    if (plugin.Read != nullptr) plugin.readerThread = std::thread(RunReader, plugin.Read);
}

void dvrcore::StartReaderThreads() {
    for (PLUGININFO& plugin : plugins)
        if (plugin.loadInfo.wantsReader != 0) StartAsyncReader(plugin);
}
