#pragma once
// Reports sent one after another, each on a thread of its own, so that
// nobody waits on the network to show a box: a report's exchange starts only
// once the one before it has ended or been given up at its deadline, so the
// collector never receives a later report before an earlier one.

#include <windows.h>

#include <string>

// Queues `body` for the collector `host`:`port`; `label` names it in the
// run's log. Returns at once. Called from one thread.
void SendInOrder(std::string body, std::wstring host, int port, std::wstring label);

// Waits up to `wait_ms` for every report queued so far to end. Returns
// whether they all have; one that has not goes on until the process ends.
bool AwaitQueuedReports(DWORD wait_ms);
