#include <Python.h>

#include "recipe/cache.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "python/critical_section.hpp"
#include "recipe/item.hpp"

namespace tessel::recipe {

// One recipe's layout, or the place kept for it while it is compiled (layout still null).
struct Entry {
  Use use;
  PyObject* source;               // the list or tuple: its identity only
  PyTypeObject* type;
  std::vector<PyObject*> items;   // the dicts, by identity: each is watched while the entry is live
  std::shared_ptr<const Layout> layout;
  std::uint64_t last_use = 0;
  std::uint64_t hits = 0;         // calls served after the one that compiled it
  unsigned slot = 0;              // its place in the table, and its bit in the readers' masks
  bool live = true;
};

namespace {

constexpr unsigned kMaxLayouts = 64;  // one bit each in a 64-bit mask

// The table's lock is a plain mutex, not the interpreter's: a thread waiting for it must keep its
// critical sections. The watcher callback runs inside a dict's change, under the dict's critical
// section; a wait that let that section go (as waiting on a PyMutex does) would show other
// threads the dict half changed. Nothing under this lock waits for the interpreter: no Python
// object is touched but by pointer, no critical section is taken, and with the GIL no other
// thread can be inside it.
using MutexLock = std::lock_guard<std::mutex>;

// Which entries read each watched dict: open addressing over the dicts' addresses, a mask of
// entry slots for each, no allocation per dict. Every recipe a caller builds afresh passes
// through here twice (in when compiled, out when its dicts go), so this is the first-call cost.
class Readers {
 public:
  // Adds `bit` for `dict`; true when the dict had no reader before (it is to be watched).
  bool add(PyObject* dict, std::uint64_t bit) {
    if (2 * (used_ + 1) > rows_.size()) grow();
    Row& row = rows_[find(dict)];
    const bool first = row.dict == nullptr;
    if (first) {
      row.dict = dict;
      ++used_;
    }
    row.mask |= bit;
    return first;
  }
  // Takes `bit` away from `dict`; true when that was its last reader (it is to stop being watched).
  bool remove(PyObject* dict, std::uint64_t bit) noexcept {
    if (rows_.empty()) return false;
    std::size_t i = find(dict);
    if (rows_[i].dict == nullptr || (rows_[i].mask & bit) == 0) return false;
    rows_[i].mask &= ~bit;
    if (rows_[i].mask != 0) return false;
    // Backward-shift deletion: later rows of the same probe run move up into the hole.
    const std::size_t mask = rows_.size() - 1;
    for (std::size_t j = (i + 1) & mask; rows_[j].dict != nullptr; j = (j + 1) & mask) {
      const std::size_t home = hash(rows_[j].dict) & mask;
      if (((j - home) & mask) >= ((j - i) & mask)) {
        rows_[i] = rows_[j];
        i = j;
      }
    }
    rows_[i] = Row{};
    --used_;
    return true;
  }
  [[nodiscard]] std::uint64_t get(PyObject* dict) const noexcept {
    if (rows_.empty()) return 0;
    const Row& row = rows_[find(dict)];
    return row.dict == nullptr ? 0 : row.mask;
  }
  void clear() noexcept {
    std::fill(rows_.begin(), rows_.end(), Row{});
    used_ = 0;
  }

 private:
  struct Row {
    PyObject* dict = nullptr;
    std::uint64_t mask = 0;
  };
  static std::size_t hash(PyObject* dict) noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9E3779B97F4A7C15u >> 20);
  }
  // The row holding `dict`, or the empty row where it would go.
  [[nodiscard]] std::size_t find(PyObject* dict) const noexcept {
    const std::size_t mask = rows_.size() - 1;
    std::size_t i = hash(dict) & mask;
    while (rows_[i].dict != nullptr && rows_[i].dict != dict) i = (i + 1) & mask;
    return i;
  }
  void grow() {
    std::vector<Row> old(std::max<std::size_t>(64, 2 * rows_.size()));
    old.swap(rows_);
    used_ = 0;
    for (const Row& row : old) {
      if (row.dict == nullptr) continue;
      rows_[find(row.dict)] = row;
      ++used_;
    }
  }
  std::vector<Row> rows_;
  std::size_t used_ = 0;
};

// How often a list or tuple has come without a layout. A recipe is compiled on its second call,
// not its first: one built for a single call (a literal in a loop, say) would pay for compiling and
// watching and gain nothing. Such recipes are often rebuilt at the addresses of the last, so a
// layout whose dicts are freed before it served a single call doubles the count its address needs.
struct Sighting {
  PyObject* source = nullptr;
  std::uint32_t seen = 0;
  std::uint32_t needed = 2;
};
constexpr std::size_t kSightings = 256;
constexpr std::uint32_t kMostNeeded = 64;

struct Table {
  std::mutex lock;
  int watcher = -1;                                             // set once, before any call
  std::array<std::shared_ptr<Entry>, kMaxLayouts> slots;        // null where free
  std::uint64_t published = 0;                                  // the slots whose entry has a layout
  Readers readers;
  std::array<Sighting, kSightings> sightings;
  std::uint64_t clock = 0;
};


// The module serves one interpreter for the life of the process, and so does its table. Never
// destroyed: at exit the interpreter is gone, and the layouts' objects with it.
Table& table = *new Table;

Sighting& sighting(PyObject* source) noexcept {
  const auto hash = (reinterpret_cast<std::uintptr_t>(source) >> 4) * 0x9E3779B97F4A7C15u >> 56;
  return table.sightings[hash % kSightings];
}

// What an unlinking let go of: released only once the table's lock is let go, since releasing a
// layout releases Python objects.
using Graveyard = std::vector<std::shared_ptr<Entry>>;

void watch(PyObject* dict) noexcept {
  // The watch bits share a word with the dict's version, which the dict's own changes rewrite
  // under its lock: set under that lock too, and never under the table's.
  const python::CriticalSection section(dict);
  if (PyDict_Watch(table.watcher, dict) < 0) PyErr_Clear();
}

// Takes `entry` out of the table (under the lock). Its dicts stay watched: clearing a watch would
// take a dict's lock under the table's, and a dict whose last reader went may be freed by another
// thread meanwhile. A dict watched for nothing costs a callback that finds no reader.
void unlink(Entry& entry, Graveyard& graveyard, bool freed = false) {
  entry.live = false;
  if (freed && entry.layout && entry.hits == 0) {
    Sighting& seen = sighting(entry.source);
    if (seen.source == entry.source && seen.needed < kMostNeeded) seen.needed *= 2;
  }
  const std::uint64_t bit = std::uint64_t{1} << entry.slot;
  for (PyObject* dict : entry.items) {
    table.readers.remove(dict, bit);
  }
  table.published &= ~bit;
  graveyard.push_back(std::move(table.slots[entry.slot]));
}

bool is_value_key(PyObject* key) noexcept {
  if (key == key_object(Key::value)) return true;
  return key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, "value") == 0;
}

// Called by the interpreter before a watched dict changes and when it is deallocated.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
  // A new value for an existing `value` key: the packer reads values on every call.
  if (event == PyDict_EVENT_MODIFIED && is_value_key(key)) return 0;
  Graveyard graveyard;
  try {
    graveyard.reserve(kMaxLayouts);
    const MutexLock held(table.lock);
    std::uint64_t readers = table.readers.get(dict);
    while (readers != 0) {
      const auto slot = static_cast<unsigned>(__builtin_ctzll(readers));
      readers &= readers - 1;
      if (table.slots[slot]) unlink(*table.slots[slot], graveyard, event == PyDict_EVENT_DEALLOCATED);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: forget every layout rather than keep one that may be stale. Their dicts stay
    // watched, for nothing.
    std::array<std::shared_ptr<Entry>, kMaxLayouts> all;  // declared before the lock, so released after it
    const MutexLock held(table.lock);
    for (std::shared_ptr<Entry>& entry : table.slots) {
      if (entry) entry->live = false;
    }
    all.swap(table.slots);
    table.published = 0;
    table.readers.clear();
  }
  return 0;
}

}  // namespace

void start_layout_cache() noexcept {
  if (table.watcher >= 0) return;
  const int watcher = PyDict_AddWatcher(on_dict_event);
  if (watcher < 0) {
    PyErr_Clear();  // every slot taken: the cache stays off
    return;
  }
  table.watcher = watcher;
}

Found find_layout(Use use, const python::RecipeItems& recipe) noexcept {
  Found found;
  PyObject* source = recipe.source();
  if (table.watcher < 0 || source == nullptr) return found;
  const std::size_t size = recipe.size();
  const MutexLock held(table.lock);
  for (std::uint64_t published = table.published; published != 0; published &= published - 1) {
    const std::shared_ptr<Entry>& entry = table.slots[static_cast<unsigned>(__builtin_ctzll(published))];
    if (entry->source != source || entry->use != use) continue;
    if (entry->type != Py_TYPE(source) || entry->items.size() != size) return found;
    for (std::size_t i = 0; i < size; ++i) {
      if (entry->items[i] != recipe.item(i)) return found;
    }
    entry->last_use = ++table.clock;
    ++entry->hits;
    found.layout_ = entry->layout;
#ifdef Py_GIL_DISABLED
    found.entry_ = entry;
#endif
    return found;
  }
  return found;
}

bool Found::still_current() const noexcept {
#ifdef Py_GIL_DISABLED
  const MutexLock held(table.lock);
  return entry_->live;
#else
  return true;
#endif
}

bool Compiling::still_current() const noexcept {
  const MutexLock held(table.lock);
  return entry_ != nullptr && entry_->live;
}

Compiling::Compiling(Use use, const python::RecipeItems& recipe) noexcept {
  PyObject* source = recipe.source();
  if (table.watcher < 0 || source == nullptr) return;
  const std::size_t size = recipe.size();
  Graveyard graveyard;              // declared before the lock, so released after it is let go
  std::vector<PyObject*> unwatched;  // dicts no entry read before: watched once the lock is let go
  std::unique_lock held(table.lock);
  Sighting& seen = sighting(source);
  if (seen.source != source) seen = Sighting{source, 0, 2};
  if (++seen.seen < seen.needed) return;
  seen.seen = 0;
  // Only a recipe due to be compiled has its items' types checked: a type check runs no code.
  for (std::size_t i = 0; i < size; ++i) {
    if (!PyDict_CheckExact(recipe.item(i))) return;
  }
  try {
    graveyard.reserve(3);  // a stale entry for this recipe, the oldest, and this one
    unwatched.reserve(size);
    auto entry = std::make_shared<Entry>();
    entry->use = use;
    entry->source = source;
    entry->type = Py_TYPE(source);
    entry->items.reserve(size);
    for (std::size_t i = 0; i < size; ++i) entry->items.push_back(recipe.item(i));

    // One entry per recipe and use: an older one for the same list no longer describes it. The
    // place goes to a free slot, else the least recently used entry's.
    unsigned free_slot = kMaxLayouts;
    unsigned oldest = 0;
    for (unsigned slot = 0; slot < kMaxLayouts; ++slot) {
      const std::shared_ptr<Entry>& old = table.slots[slot];
      if (old && old->source == source && old->use == use) unlink(*old, graveyard);
      if (!table.slots[slot]) {
        if (free_slot == kMaxLayouts) free_slot = slot;
      } else if (!table.slots[oldest] || table.slots[slot]->last_use < table.slots[oldest]->last_use) {
        oldest = slot;
      }
    }
    if (free_slot == kMaxLayouts) {
      unlink(*table.slots[oldest], graveyard);
      free_slot = oldest;
    }
    entry->slot = free_slot;
    entry->last_use = ++table.clock;
    table.slots[free_slot] = entry;
    const std::uint64_t bit = std::uint64_t{1} << free_slot;
    try {
      for (PyObject* dict : entry->items) {
        if (table.readers.add(dict, bit)) unwatched.push_back(dict);
      }
    } catch (const std::bad_alloc&) {
      unlink(*entry, graveyard);  // no room to remember it: read afresh, uncached
      return;
    }
    entry_ = std::move(entry);
  } catch (const std::bad_alloc&) {
    return;  // no room to remember this recipe: it is read afresh, as an uncached one
  }
  held.unlock();
  // Watched before they are read: a change from here on reaches the entry. One made before the
  // watch was set is one the reading sees, since both take the dict's lock.
  for (PyObject* dict : unwatched) watch(dict);
}

Compiling::~Compiling() {
  if (entry_ == nullptr) return;
  Graveyard graveyard;
  {
    const MutexLock held(table.lock);
    if (entry_->live && !entry_->layout) {
      try {
        graveyard.reserve(1);
        unlink(*entry_, graveyard);
      } catch (const std::bad_alloc&) {
        // Left in its slot with no layout: found by nothing, and replaced in time like any other.
      }
    }
  }
  entry_.reset();
}

void Compiling::publish(std::shared_ptr<const Layout> layout) noexcept {
  if (entry_ == nullptr) return;
  {
    const MutexLock held(table.lock);
    if (entry_->live) {
      entry_->layout = std::move(layout);
      entry_->last_use = ++table.clock;
      table.published |= std::uint64_t{1} << entry_->slot;
    }
  }
  // Spoiled: `layout` goes here, outside the lock.
}

}  // namespace tessel::recipe
