#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/archive/followed_files.h"
#include "core/archive/index_row.h"

namespace velk {

// The record index as its one writer per program sees it: transactions that hold rows together
// with the marks of the files they were read from, so that a kill, a lock or a full disk can only
// delay rows, never lose them.
class IndexWriter {
public:
    virtual ~IndexWriter() = default;
    // Begins a write transaction, waiting a bounded time for another program's. A database put in
    // place of the open one (a rebuild) or deleted is noticed here and opened anew (Renewed).
    virtual bool Begin() = 0;
    // Inside a transaction: a file's mark (none when the index never read it).
    virtual bool Mark(const std::string& file, std::optional<FileMark>& mark) = 0;
    // Inside a transaction: adds the rows, giving each its id and occurrence. With onlyMissing, a
    // row of which the index already holds more than row.occurrence identical ones gets id 0 and
    // is left out.
    virtual bool Insert(std::vector<IndexRow>& rows, bool onlyMissing) = 0;
    virtual bool SetMark(const FileMark& mark) = 0;
    virtual bool Commit() = 0;
    // Ends a transaction without its changes (nothing happens outside one).
    virtual void Rollback() = 0;
    // Every mark (outside a transaction: what to look at).
    virtual bool Marks(std::vector<FileMark>& marks) = 0;

    virtual std::string ErrorText() const = 0;
    // After a failure: the database is damaged (not merely locked, full or away).
    virtual bool Damaged() const = 0;
    // Sets a damaged database aside and starts an empty one; `where` names the copy set aside.
    virtual bool SetAside(std::string& where) = 0;
    // True once after the database was found replaced or deleted and opened anew: it may lack
    // anything.
    virtual bool Renewed() = 0;
};

}  // namespace velk
