// The backend side of a Recordset: the rows of a store query or of a
// directory search, behind one small interface. A backend builds its rows,
// wraps them in a subclass and hands it to Recordset's adopting constructor.
// Private to platform/: callers of the system see only platform/ado.h.
#pragma once

#include <cstdint>
#include <string>

#include "base/error.h"
#include "platform/ado.h"

namespace platform {

struct RecordsetImpl {
    virtual ~RecordsetImpl() = default;

    // The number of rows the query returned, fixed when the rows were made
    // (rows deleted later still count).
    [[nodiscard]] virtual int32_t RecordCount() const = 0;
    // True when the cursor stands after the last row (or there are no rows).
    [[nodiscard]] virtual bool Eof() const = 0;
    // Moves to the next row; raises err::kAdoNoCurrentRecord at EOF.
    virtual void MoveNext() = 0;
    // The current row's value of a column, by name without regard to case;
    // Null when the row has none. Raises err::kAdoItemNotFound for a column
    // the query did not select, err::kAdoNoCurrentRecord at EOF, and
    // err::kCantConvert (naming the item) for every column of a row whose
    // item the store cannot read: it is to be passed over.
    [[nodiscard]] virtual Variant Value(const std::string& name) const = 0;
    // Deletes the current row's item from its source; the cursor stays on
    // the row until MoveNext. Returns false when the item was gone already
    // (another program took it meanwhile). A backend that cannot delete
    // raises err::kAdoFeatureNotAvailable.
    virtual bool Delete() = 0;
    // Moves the current row's message into the folder at
    // destinationFolderUrl and records the move under run, as
    // MoveRecordForRun does with the row's URL; the cursor stays on the row
    // until MoveNext. False when the row's message was no longer in its
    // folder to move (nothing moved, nothing recorded). A backend that
    // cannot move raises err::kAdoFeatureNotAvailable.
    virtual bool MoveCurrent(const std::string& destinationFolderUrl, int64_t run) = 0;
    // Finishes the rows: pending work is written out, resources released.
    // Called once, by Recordset::Close or the Recordset's destructor (which
    // swallows errors); the object is destroyed right after.
    virtual void Close() = 0;

protected:
    // Raises err::kAdoNoCurrentRecord, naming operation, at EOF.
    void RequireRow(const char* operation) const {
        if (Eof()) {
            throw Error(
                err::kAdoNoCurrentRecord,
                Describe(operation, "Recordset",
                         "either BOF or EOF is true, or the current record has been deleted",
                         err::kAdoNoCurrentRecord));
        }
    }
};

}  // namespace platform
