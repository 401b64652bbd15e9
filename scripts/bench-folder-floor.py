#!/usr/bin/env python3
"""The store's own floor for a run: what SQLite alone does to delete the
expired messages of every mailbox's FOLDER from the item store the way a
run must, folder by folder, with nothing of the run around it (no directory,
no URLs, no query text, no log, report or history).

  bench-folder-floor.py STORE_DB CUTOFF [FOLDER]

Per mailbox in the order of their names: the run's SQL for the folder's
expired messages (through the index by received time), then one DELETE per
row, as the run deletes the rows its query returned. Writes are committed
every 100 ms, as the run's batches are, with the store's journal settings
(WAL, synchronous NORMAL, a checkpoint every 256 MiB of log, a page cache
of 4 MiB, deleted rows zeroed in the pages written anyway and pages freed
whole left as they are: secure_delete FAST); the timed process includes the
last checkpoint, done by close().
Set beside the lean floor (one DELETE in one transaction on a table in
arrival order), it tells what the store's layout and the folder-by-folder
way cost, and beside the run, what the run's own code costs.
Prints: folders=N deleted=N txn_s=S close_s=S
"""
import sqlite3
import sys
import time
import urllib.parse

BATCH_S = 0.1
CHECKPOINT_BYTES = 256 << 20
CACHE_KIB = 4096
KIND_ITEM, KIND_MAILBOX = 0, 4
# The run's query; a message's size is in its row (content_size), or in a
# store made before messages had their bytes apart, the length of its bytes.
ROWS = ("SELECT id, parent, name, kind, hidden, content_class, created, modified, received,"
        " has_props, %s FROM items"
        " WHERE parent = ?1 AND (hidden = 0 AND (kind <> 0) = 0 AND received <= ?2)")


def main(path, cutoff, folder):
    # An existing store only (mode=rw): a wrong path must not leave an empty
    # database behind. BEGIN/COMMIT are ours.
    db = sqlite3.connect("file:%s?mode=rw" % urllib.parse.quote(path), uri=True,
                         isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.execute("PRAGMA cache_size=-%d" % CACHE_KIB)
    db.execute("PRAGMA secure_delete=FAST")
    page = db.execute("PRAGMA page_size").fetchone()[0]
    db.execute("PRAGMA wal_autocheckpoint=%d" % (CHECKPOINT_BYTES // page))
    columns = [r[1] for r in db.execute("PRAGMA table_info(items)")]
    rows = ROWS % ("coalesce(content_size, length(content))" if "content_size" in columns
                   else "length(content)")
    folders = [r[0] for r in db.execute(
        "SELECT f.id FROM items m JOIN items f ON f.parent = m.id AND f.key = ?1"
        " WHERE m.kind = ?2 ORDER BY m.key", (folder.lower(), KIND_MAILBOX))]
    t0 = time.perf_counter()
    deleted = 0
    db.execute("BEGIN IMMEDIATE")
    batch_start = time.perf_counter()
    for f in folders:
        for (item, *_) in db.execute(rows, (f, cutoff)).fetchall():
            db.execute("DELETE FROM items WHERE id = ?1 AND kind = ?2", (item, KIND_ITEM))
            deleted += 1
        if time.perf_counter() - batch_start >= BATCH_S:
            db.execute("COMMIT")
            db.execute("BEGIN IMMEDIATE")
            batch_start = time.perf_counter()
    db.execute("COMMIT")
    t1 = time.perf_counter()
    db.close()  # the last connection: checkpoints the log into the store
    print(f"folders={len(folders)} deleted={deleted} txn_s={t1 - t0:.3f} "
          f"close_s={time.perf_counter() - t1:.3f}")


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        sys.exit(0)
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)  # to standard error, exit status 1
    try:
        main(sys.argv[1], int(sys.argv[2]), sys.argv[3] if len(sys.argv) == 4 else "Junk")
    except (sqlite3.Error, ValueError) as e:
        sys.exit("bench-folder-floor.py: %s: %s" % (sys.argv[1], e))
