#include <Python.h>

#include "recipe/cache.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
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
  std::shared_ptr<const Layout> layout;   // set once, under the table's lock, when published
  // Read without the lock by the threads' own tables (free-threaded builds); written under it.
  std::atomic<std::uint64_t> last_use{0};
  std::atomic<bool> served{false};        // a call was served after the one that compiled it
  std::atomic<bool> live{true};
  unsigned slot = 0;              // its place in the table, and its bit in the readers' masks
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
  std::atomic<std::uint64_t> clock{0};    // advanced under the lock; read without it for stamps
  std::atomic<std::uint64_t> unlinked{0};  // entries taken out so far: the threads' tables sweep on a change
  PyObject* front_key = nullptr;          // free-threaded builds: the threads' own tables, by this key
};




// The module serves one interpreter for the life of the process, and so does its table. Never
// destroyed: at exit the interpreter is gone, and the layouts' objects with it.
Table& table = *new Table;

std::uint64_t tick() noexcept { return table.clock.fetch_add(1, std::memory_order_relaxed) + 1; }

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
  entry.live.store(false, std::memory_order_release);
  table.unlinked.fetch_add(1, std::memory_order_release);
  if (freed && entry.layout && !entry.served.load(std::memory_order_relaxed)) {
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

void sweep_own_front() noexcept;
bool keep_while_read(PyObject* dict) noexcept;

// Called by the interpreter before a watched dict changes and when it is deallocated.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
  // A new value for an existing `value` key: the packer reads values on every call.
  if (event == PyDict_EVENT_MODIFIED && is_value_key(key)) return 0;
  // A packer call on another thread may be reading this dict out of a list that has let go of
  // it: it lives on, resurrected, until that call is done. Its layouts go when it finally does.
  if (event == PyDict_EVENT_DEALLOCATED && keep_while_read(dict)) return 0;
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
      if (entry) entry->live.store(false, std::memory_order_release);
    }
    all.swap(table.slots);
    table.published = 0;
    table.readers.clear();
    table.unlinked.fetch_add(1, std::memory_order_release);
  }
  // What this thread's own table held of them goes now, with the graveyard: a recipe dropped
  // lets go of its layouts, and of the objects they hold, before its last reference is gone.
  sweep_own_front();
  return 0;
}

// Whether `entry` describes `recipe` (the same dicts, by identity, in a list or tuple of its type).
[[gnu::always_inline]] inline bool describes(const Entry& entry, PyObject* source, const python::RecipeItems& recipe,
                                             std::size_t size) noexcept {
  if (entry.type != Py_TYPE(source) || entry.items.size() != size) return false;
  if (recipe.list_in_place() || PyTuple_CheckExact(source)) {
    // Read in place (without the GIL, a list under its lock): the item array once, not a type test
    // an item.
    PyObject* const* items = PySequence_Fast_ITEMS(source);
    return std::equal(entry.items.begin(), entry.items.end(), items);
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (entry.items[i] != recipe.item(i)) return false;
  }
  return true;
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
#ifdef Py_GIL_DISABLED
  table.front_key = PyUnicode_InternFromString("tessel layouts of this thread");
  if (table.front_key == nullptr) PyErr_Clear();  // no table of the threads' own: the shared one serves
#endif
}

#ifdef Py_GIL_DISABLED
// A thread's own table of the layouts it used last. Held by a capsule in the thread state's dict,
// so it goes with the thread state, while the interpreter can still release what it holds.
namespace {
constexpr std::size_t kFrontSlots = 8;
constexpr std::uint32_t kStampEvery = 256;  // hits between refreshes of the shared use stamp
}  // namespace

struct FrontSlot {
  std::shared_ptr<Entry> entry;
  python::PyRef local;        // the thread's own object for the layout (see Found::local)
  std::uint64_t used = 0;     // the thread's clock at its last hit
  std::uint32_t pins = 0;     // calls of this thread using it now (a call may run another)
  std::uint32_t unstamped = 0;
};

struct alignas(64) Front {
  std::array<FrontSlot, kFrontSlots> slots;
  std::uint64_t clock = 0;
  std::uint64_t unlinked_seen = 0;
  // Odd while a call of this thread reads item dicts found in place (Found::items): written by the
  // thread alone, read by a thread deallocating a watched dict.
  std::atomic<std::uint64_t> window{0};
};

namespace {

// Every thread's table, for the watcher to see whose reading windows are open, and the dicts kept
// alive for them. A plain mutex, like the table's: nothing under it waits or touches Python.
struct Kept {
  python::PyRef dict;
  std::vector<std::pair<const Front*, std::uint64_t>> open;  // the windows open when it was kept
};
struct Fronts {
  std::mutex lock;
  std::vector<Front*> all;
  std::vector<Kept> kept;
  std::atomic<bool> any_kept{false};
};
Fronts& fronts = *new Fronts;  // never destroyed, like the table

// Whether the window a dict was kept for has closed (its thread ended, or moved past it).
bool closed(const std::pair<const Front*, std::uint64_t>& open) noexcept {
  const auto& all = fronts.all;
  if (std::find(all.begin(), all.end(), open.first) == all.end()) return true;
  return open.first->window.load(std::memory_order_acquire) != open.second;
}

// The kept dict this thread is letting go of: no list has held it since it was kept, so no window
// opened since reads it, and its deallocation frees it.
thread_local PyObject* letting_go = nullptr;

// Lets go of the kept dicts whose windows have all closed. Runs Python code (their deallocation).
void release_kept() noexcept {
  if (!fronts.any_kept.load(std::memory_order_acquire)) return;
  std::vector<python::PyRef> done;
  {
    const MutexLock held(fronts.lock);
    try {
      done.reserve(fronts.kept.size());
    } catch (const std::bad_alloc&) {
      return;  // a later call tries again
    }
    auto still = std::remove_if(fronts.kept.begin(), fronts.kept.end(), [&](Kept& kept) {
      if (!std::all_of(kept.open.begin(), kept.open.end(), closed)) return false;
      done.push_back(std::move(kept.dict));
      return true;
    });
    fronts.kept.erase(still, fronts.kept.end());
    fronts.any_kept.store(!fronts.kept.empty(), std::memory_order_release);
  }
  for (python::PyRef& dict : done) {
    PyObject* const outer = std::exchange(letting_go, dict.get());
    dict = python::PyRef();
    letting_go = outer;
  }
}

// A window opens under the list's lock, once the list's items were compared with the entry's: a
// dict the list lets go of after that is deallocated only after the window's store is visible.
void open_window(Front& front) noexcept {
  front.window.store(front.window.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
}
void close_window(Front& front) noexcept {
  front.window.store(front.window.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// The windows open now, as (table, window) pairs, under the registry's lock.
template <class Visit>
void each_open_window(Visit visit) {
  for (const Front* front : fronts.all) {
    const std::uint64_t window = front->window.load(std::memory_order_seq_cst);
    if (window % 2 != 0 && !visit(front, window)) return;
  }
}

// Called with the dict about to be freed: resurrects it (the interpreter lets a watcher do so)
// when some thread's reading window is open, since that thread may be reading it.
bool keep_while_read(PyObject* dict) noexcept {
  if (dict == letting_go) return false;
  {
    const MutexLock held(fronts.lock);
    try {
      std::vector<std::pair<const Front*, std::uint64_t>> open;
      each_open_window([&](const Front* front, std::uint64_t window) {
        open.emplace_back(front, window);
        return true;
      });
      if (open.empty()) return false;
      fronts.kept.push_back(Kept{python::PyRef(), std::move(open)});
      fronts.kept.back().dict = python::PyRef::borrow(dict);  // once nothing can throw
      fronts.any_kept.store(true, std::memory_order_release);
      return true;
    } catch (const std::bad_alloc&) {
      // No room to remember it: wait below for the windows to close instead.
    }
  }
  // A window takes no lock and runs no Python code, but its thread may be parked on a dict's
  // lock, and a stop-the-world pause may need this thread to detach: wait detached, with no lock
  // of ours held, looking again under the lock (the thread of a closed window may end).
  for (std::pair<const Front*, std::uint64_t> open{};;) {
    {
      const MutexLock held(fronts.lock);
      if (open.first == nullptr || closed(open)) {  // the next window still open, if any
        open = {};
        each_open_window([&](const Front* front, std::uint64_t window) {
          open = {front, window};
          return false;
        });
        if (open.first == nullptr) return false;
      }
    }
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::yield();
    Py_END_ALLOW_THREADS
  }
}

// Lets go of the slots whose entries were taken out of the shared table, but those in use.
void sweep(Front& front) noexcept {
  for (FrontSlot& slot : front.slots) {
    if (slot.entry && slot.pins == 0 && !slot.entry->live.load(std::memory_order_acquire)) {
      python::PyRef local = std::move(slot.local);
      std::shared_ptr<Entry> entry = std::move(slot.entry);
    }
  }
}

constexpr const char* kFrontName = "tessel.layouts";

void forget_front(Front* front) noexcept {
  {
    const MutexLock held(fronts.lock);
    std::erase(fronts.all, front);
  }
  delete front;
}

void drop_front(PyObject* capsule) noexcept {
  forget_front(static_cast<Front*>(PyCapsule_GetPointer(capsule, kFrontName)));
}

// A new table for this thread, kept in its thread state's dict under the table's key.
[[gnu::noinline]] Front* new_front(PyObject* dict) noexcept {
  auto* front = new (std::nothrow) Front;
  if (front == nullptr) return nullptr;
  try {
    const MutexLock registering(fronts.lock);
    fronts.all.push_back(front);
  } catch (const std::bad_alloc&) {
    delete front;
    return nullptr;
  }
  const python::PyRef capsule = python::PyRef::steal(PyCapsule_New(front, kFrontName, drop_front));
  if (!capsule) {
    forget_front(front);
    PyErr_Clear();
    return nullptr;
  }
  if (PyDict_SetItem(dict, table.front_key, capsule.get()) < 0) {
    PyErr_Clear();
    return nullptr;  // the capsule, and the table with it, go here
  }
  return front;  // the dict holds the capsule
}

// This thread's own table; null when there is none and none could be made (the shared table
// then serves alone), or with `make` false, when there is none yet. The thread state's dict keeps
// the capsule, so the pointer stays good.
Front* this_front(bool make = true) noexcept {
  if (table.front_key == nullptr) return nullptr;
  PyObject* dict = PyThreadState_GetDict();  // borrowed: this thread's own
  if (dict == nullptr) return nullptr;
  PyObject* held = nullptr;
  const int got = PyDict_GetItemRef(dict, table.front_key, &held);
  const python::PyRef capsule = python::PyRef::steal(held);
  if (got < 0) {
    PyErr_Clear();
    return nullptr;
  }
  if (got == 0) return make ? new_front(dict) : nullptr;
  return static_cast<Front*>(PyCapsule_GetPointer(capsule.get(), kFrontName));
}

}  // namespace

namespace {
void sweep_own_front() noexcept {
  if (Front* front = this_front(false)) sweep(*front);
}
}  // namespace
#else
namespace {
void sweep_own_front() noexcept {}
bool keep_while_read(PyObject*) noexcept { return false; }
}  // namespace
#endif

Found::Found(Found&& other) noexcept
    : layout_(std::exchange(other.layout_, nullptr))
#ifdef Py_GIL_DISABLED
      ,
      owned_(std::move(other.owned_)),
      entry_(std::exchange(other.entry_, nullptr)),
      slot_(std::exchange(other.slot_, nullptr)),
      reading_(std::exchange(other.reading_, nullptr))
#else
      ,
      held_(std::move(other.held_))
#endif
{
}

Found::~Found() {
#ifdef Py_GIL_DISABLED
  if (reading_ != nullptr) [[unlikely]] close_window(*reading_);  // what it kept goes at a later call
  if (slot_ != nullptr) --slot_->pins;
#endif
}

PyObject* const* Found::items() const noexcept {
#ifdef Py_GIL_DISABLED
  return reading_ != nullptr ? entry_->items.data() : nullptr;
#else
  return nullptr;
#endif
}

#ifdef Py_GIL_DISABLED
void Found::open_items(const python::RecipeItems& recipe, Front& front) noexcept {
  // Only a list read in place needs a window: a tuple keeps its items for the call, and any other
  // recipe's items were held as it was read. One window a thread at a time.
  if (!recipe.list_in_place()) return;
  if (front.window.load(std::memory_order_relaxed) % 2 != 0) return;
  open_window(front);
  reading_ = &front;
}
#endif

void Found::end_reading() noexcept {
#ifdef Py_GIL_DISABLED
  if (reading_ == nullptr) return;
  close_window(*std::exchange(reading_, nullptr));
  release_kept();
#endif
}

PyObject* Found::local() const noexcept {
#ifdef Py_GIL_DISABLED
  return slot_ != nullptr ? slot_->local.get() : nullptr;
#else
  return nullptr;
#endif
}

void Found::keep_local(python::PyRef object) const noexcept {
#ifdef Py_GIL_DISABLED
  if (slot_ != nullptr) slot_->local = std::move(object);
#else
  static_cast<void>(object);
#endif
}

template <Reading reading>
Found Found::find(Use use, const python::RecipeItems& recipe) noexcept {
  Found found;
  PyObject* source = recipe.source();
  if (table.watcher < 0 || source == nullptr) return found;
#ifdef Py_GIL_DISABLED
  // The thread's own table first: no lock of ours, and no write another thread reads.
  Front* front = this_front();
  if (front != nullptr) {
    const std::uint64_t unlinked = table.unlinked.load(std::memory_order_acquire);
    if (front->unlinked_seen != unlinked) {  // some entry went: let go of this thread's hold on it
      front->unlinked_seen = unlinked;
      sweep(*front);
    }
  }
  // What a slot of the thread's table held before goes after the list's lock is let go.
  python::PyRef old_local;
  std::shared_ptr<Entry> old_entry;
  const python::ListLock still(recipe);  // a shared list, read in place: its items stay put
  const std::size_t size = recipe.size();
  if (front != nullptr) {
    for (FrontSlot& slot : front->slots) {
      Entry* entry = slot.entry.get();
      if (entry == nullptr || entry->source != source || entry->use != use) continue;
      if (!entry->live.load(std::memory_order_acquire)) continue;  // swept on a later call
      if (!describes(*entry, source, recipe, size)) return found;
      slot.used = ++front->clock;
      if (++slot.unstamped >= kStampEvery) {
        slot.unstamped = 0;
        entry->last_use.store(tick(), std::memory_order_relaxed);
      }
      ++slot.pins;
      found.layout_ = entry->layout.get();
      found.entry_ = entry;
      found.slot_ = &slot;
      if constexpr (reading == Reading::items) found.open_items(recipe, *front);
      return found;
    }
  }
#else
  const std::size_t size = recipe.size();
#endif
#ifdef Py_GIL_DISABLED
  std::shared_ptr<Entry> hit;
#endif
  {
    const MutexLock held(table.lock);
    for (std::uint64_t published = table.published; published != 0; published &= published - 1) {
      const std::shared_ptr<Entry>& entry = table.slots[static_cast<unsigned>(__builtin_ctzll(published))];
      if (entry->source != source || entry->use != use) continue;
      if (!describes(*entry, source, recipe, size)) return found;
      entry->last_use.store(tick(), std::memory_order_relaxed);
      entry->served.store(true, std::memory_order_relaxed);
#ifdef Py_GIL_DISABLED
      hit = entry;
#else
      found.held_ = entry->layout;  // all the call keeps: the entry may go while it runs
      found.layout_ = found.held_.get();
#endif
      break;
    }
  }
#ifdef Py_GIL_DISABLED
  if (!hit) return found;
  found.layout_ = hit->layout.get();
  found.entry_ = hit.get();
  if (front != nullptr) {
    // Into the thread's table, in a free slot or the least recently used one no call is using.
    FrontSlot* place = nullptr;
    for (FrontSlot& slot : front->slots) {
      if (slot.pins != 0) continue;
      if (!slot.entry) {
        place = &slot;
        break;
      }
      if (place == nullptr || slot.used < place->used) place = &slot;
    }
    if (place != nullptr) {
      old_local = std::move(place->local);
      old_entry = std::move(place->entry);
      place->entry = std::move(hit);
      place->used = ++front->clock;
      place->unstamped = 0;
      place->pins = 1;
      found.slot_ = place;
      if constexpr (reading == Reading::items) found.open_items(recipe, *front);
      return found;
    }
  }
  found.owned_ = std::move(hit);
#endif
  return found;
}

Found find_layout(Use use, const python::RecipeItems& recipe) noexcept {
  return Found::find<Reading::layout>(use, recipe);
}

Found find_layout_and_items(Use use, const python::RecipeItems& recipe) noexcept {
  return Found::find<Reading::items>(use, recipe);
}

bool Found::still_current() const noexcept {
#ifdef Py_GIL_DISABLED
  return entry_->live.load(std::memory_order_acquire);
#else
  return true;
#endif
}

bool Compiling::still_current() const noexcept {
  return entry_ != nullptr && entry_->live.load(std::memory_order_acquire);
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
      } else if (!table.slots[oldest] || table.slots[slot]->last_use.load(std::memory_order_relaxed) <
                                              table.slots[oldest]->last_use.load(std::memory_order_relaxed)) {
        oldest = slot;
      }
    }
    if (free_slot == kMaxLayouts) {
      unlink(*table.slots[oldest], graveyard);
      free_slot = oldest;
    }
    entry->slot = free_slot;
    entry->last_use.store(tick(), std::memory_order_relaxed);
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
    if (entry_->live.load(std::memory_order_relaxed) && !entry_->layout) {
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
    if (entry_->live.load(std::memory_order_relaxed)) {
      entry_->layout = std::move(layout);
      entry_->last_use.store(tick(), std::memory_order_relaxed);
      table.published |= std::uint64_t{1} << entry_->slot;
    }
  }
  // Spoiled: `layout` goes here, outside the lock.
}

}  // namespace tessel::recipe
