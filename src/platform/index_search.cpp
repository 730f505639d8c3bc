#include "platform/index_search.h"

#include <QCoreApplication>

#include "platform/sqlite_record_index.h"

namespace velk {

IndexSearch::IndexSearch(std::filesystem::path database, QObject* parent)
    : IndexSearch(
          [database = std::move(database)]() -> std::unique_ptr<RecordIndex> {
              return std::make_unique<SqliteRecordIndex>(database, SqliteRecordIndex::Mode::Read);
          },
          parent) {}

IndexSearch::IndexSearch(Opener open, QObject* parent) : QObject(parent), open_(std::move(open)) {}

IndexSearch::~IndexSearch() {
    if (thread_)
        thread_->wait();
}

bool IndexSearch::Start(CallQuery query) {
    if (thread_)
        return false;
    thread_.reset(QThread::create([this, query = std::move(query)] {
        const std::unique_ptr<RecordIndex> index = open_();
        auto found =
            std::make_shared<const FoundCalls>(FindCalls(*index, query, std::nullopt, kMostShown));
        QMetaObject::invokeMethod(
            this,
            [this, found] {
                if (thread_) {
                    thread_->wait();
                    thread_.reset();
                }
                emit Found(found);
            },
            Qt::QueuedConnection);
    }));
    thread_->start();
    return true;
}

void IndexSearch::Wait() {
    while (thread_)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

}  // namespace velk
