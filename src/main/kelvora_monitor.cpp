// kelvora-monitor: watches a Kelvora home folder's live file and reports (and with --restart
// repairs) a program that hangs or ends without shutting down.
#include "monitor/live_monitor.h"

int main(int argc, char** argv) {
    kv::monitor::Options options;
    if (const int rc = kv::monitor::parseOptions(argc, argv, options); rc >= 0) return rc;
    return kv::monitor::runMonitor(options);
}
