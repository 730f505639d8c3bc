#pragma once

#include <QObject>
#include <QThread>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/archive/call_report.h"
#include "core/archive/record_index.h"

namespace velk {

// Runs a search of the record index (or of another index of calls, such as the database server
// of many sites) on a worker thread with a connection of its own, so that the record pipeline on
// the main thread never waits for it; the result comes back as a signal on the thread this
// object lives on.
class IndexSearch : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMostShown = 100000;
    // Opens the index to search, on the worker thread.
    using Opener = std::function<std::unique_ptr<RecordIndex>()>;

    explicit IndexSearch(std::filesystem::path database, QObject* parent = nullptr);
    explicit IndexSearch(Opener open, QObject* parent = nullptr);
    ~IndexSearch() override;

    // False while a search runs (nothing starts).
    bool Start(CallQuery query);
    bool Running() const { return thread_ != nullptr; }
    // Waits for a running search (events keep being handled meanwhile).
    void Wait();

signals:
    void Found(std::shared_ptr<const FoundCalls> calls);

private:
    Opener open_;
    std::unique_ptr<QThread> thread_;
};

}  // namespace velk
