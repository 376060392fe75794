#pragma once

#include "Json.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A history folder that cannot be made, written or read.
class HistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The folder that keeps, for every apply, the export taken before its first change and the record
// of what it did: DIR/N/snapshot.json and DIR/N/record.json, N counting up from 1.
class History {
public:
    // `folder` empty: $KIPCTL_HISTORY, else $XDG_STATE_HOME/kipctl/history, else
    // ~/.local/state/kipctl/history.
    explicit History(const std::string& folder);

    const std::string& folder() const { return path; }
    // Makes the folder and its parents; throws HistoryError.
    void create() const;
    std::vector<int> runs() const;  // ascending
    // Reserves the next number; throws HistoryError.
    int newRun() const;
    std::string snapshotPath(int run) const;
    std::string recordPath(int run) const;
    // The record of run N; throws HistoryError when there is none or it cannot be read.
    JsonValue record(int run) const;
    std::string lockPath(const std::string& name) const;

private:
    std::string runFolder(int run) const;

    std::string path;
};

// The record of one run, rewritten whole and durably after every step, so that a run that fails,
// is interrupted or crashes leaves what it did.
class RunRecord {
public:
    RunRecord(std::string path, JsonValue head, const std::vector<std::vector<std::string>>& changes);

    void started(std::size_t change);  // its requests are about to go out
    void done(std::size_t change);
    void failed(std::size_t change, const std::string& why);
    // outcome: "done", "failed", "interrupted" or "stopped"; why: the reason it did not end done.
    void finish(const std::string& outcome, const std::string& why);
    void searchAfter(const std::vector<std::string>& lines);

private:
    void result(std::size_t change, const std::string& text);
    void write();

    std::string path;
    JsonValue root;
};

// Writes `text` to `path` through a temporary file, synced before and after the rename; throws
// HistoryError.
void writeDurably(const std::string& path, const std::string& text);

// The moment, user and machine of a run, as records and locks name them.
std::string timeNow();  // UTC, "2026-05-01T10:00:03Z"
std::string userName();
std::string hostName();

// The lines of `kipctl history` (newest first) and of `kipctl history show N`.
std::vector<std::string> historyLines(const History& history);
std::vector<std::string> recordLines(const History& history, int run);
