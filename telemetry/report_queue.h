#pragma once
// Reports sent one after another, each on a thread of its own, so that
// nobody waits on the network to show a box: a report's exchange starts only
// once the one before it has ended or been given up at its deadline, so the
// collector never receives a later report before an earlier one. Each has
// its own deadline, counted from the start of its own exchange.

#include <windows.h>

#include <string>

// Queues `body` for the collector `host`:`port`; `label` names it in the
// run's log, which says how it ended and after how long. Returns at once.
// Called from one thread.
void SendInOrder(std::string body, std::wstring host, int port, std::wstring label);

// Waits until every report queued so far has ended or reached its own
// deadline: at most the rest of the exchange under way and one deadline for
// each report still waiting. Returns whether they all have. Called from the
// thread that queues.
bool AwaitQueuedReports();
