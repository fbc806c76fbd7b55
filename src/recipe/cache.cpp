#include <Python.h>

#include "recipe/cache.hpp"

#include <algorithm>
#include <new>
#include <unordered_map>
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
  bool live = true;
};

namespace {

constexpr std::size_t kMaxLayouts = 64;

using python::MutexLock;

struct Table {
  PyMutex lock{};
  int watcher = -1;                                              // set once, before any call
  std::vector<std::shared_ptr<Entry>> entries;                   // at most kMaxLayouts
  std::unordered_map<PyObject*, std::vector<Entry*>> readers;    // dict -> entries built from it
  std::uint64_t clock = 0;
};

// The module serves one interpreter for the life of the process, and so does its table. Never
// destroyed: at exit the interpreter is gone, and the layouts' objects with it.
Table& table = *new Table;

// What an unlinking let go of: released only once the table's lock is let go, since releasing a
// layout releases Python objects.
using Graveyard = std::vector<std::shared_ptr<Entry>>;

void watch(PyObject* dict, bool on) noexcept {
  // The watch bits share a word with the dict's version, which the dict's own changes rewrite
  // under its lock: set and cleared under that lock too.
  const python::CriticalSection section(dict);
  if ((on ? PyDict_Watch(table.watcher, dict) : PyDict_Unwatch(table.watcher, dict)) < 0) PyErr_Clear();
}

// Takes `entry` out of the table (under the lock). Dicts no other entry reads stop being watched,
// except `changing`, the dict whose own event is being handled: it is not locked again from its own
// callback, and stays watched for nothing, which costs one callback that finds no reader.
void unlink(Entry& entry, PyObject* changing, Graveyard& graveyard) {
  entry.live = false;
  for (PyObject* dict : entry.items) {
    const auto found = table.readers.find(dict);
    if (found == table.readers.end()) continue;
    std::vector<Entry*>& readers = found->second;
    const auto mine = std::find(readers.begin(), readers.end(), &entry);
    if (mine != readers.end()) readers.erase(mine);  // one per place the dict holds in the recipe
    if (readers.empty()) {
      if (dict != changing) watch(dict, false);
      table.readers.erase(found);
    }
  }
  const auto slot = std::find_if(table.entries.begin(), table.entries.end(),
                                 [&](const std::shared_ptr<Entry>& e) { return e.get() == &entry; });
  if (slot != table.entries.end()) {
    graveyard.push_back(std::move(*slot));
    *slot = std::move(table.entries.back());
    table.entries.pop_back();
  }
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
    const MutexLock held(table.lock);
    const auto found = table.readers.find(dict);
    if (found == table.readers.end()) return 0;
    // Unlinking edits this list: walk a copy, holding each entry while it is unlinked.
    const std::vector<Entry*> readers = found->second;
    for (Entry* entry : readers) {
      if (entry->live) unlink(*entry, dict, graveyard);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: forget every layout rather than keep one that may be stale. Their dicts stay
    // watched, for nothing.
    Graveyard all;  // declared before the lock, so released after it is let go
    const MutexLock held(table.lock);
    for (const std::shared_ptr<Entry>& entry : table.entries) entry->live = false;
    all.swap(table.entries);
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

std::shared_ptr<const Layout> find_layout(Use use, const python::RecipeItems& recipe) noexcept {
  PyObject* source = recipe.source();
  if (table.watcher < 0 || source == nullptr) return nullptr;
  const std::size_t size = recipe.size();
  const MutexLock held(table.lock);
  for (const std::shared_ptr<Entry>& entry : table.entries) {
    if (entry->source != source || entry->use != use || !entry->layout) continue;
    if (entry->type != Py_TYPE(source) || entry->items.size() != size) return nullptr;
    for (std::size_t i = 0; i < size; ++i) {
      if (entry->items[i] != recipe.item(i)) return nullptr;
    }
    entry->last_use = ++table.clock;
    return entry->layout;
  }
  return nullptr;
}

Compiling::Compiling(Use use, const python::RecipeItems& recipe) noexcept {
  PyObject* source = recipe.source();
  if (table.watcher < 0 || source == nullptr) return;
  const std::size_t size = recipe.size();
  for (std::size_t i = 0; i < size; ++i) {
    if (!PyDict_CheckExact(recipe.item(i))) return;
  }
  Graveyard graveyard;
  try {
    auto entry = std::make_shared<Entry>();
    entry->use = use;
    entry->source = source;
    entry->type = Py_TYPE(source);
    entry->items.reserve(size);
    for (std::size_t i = 0; i < size; ++i) entry->items.push_back(recipe.item(i));

    const MutexLock held(table.lock);
    // One entry per recipe and use: an older one for the same list no longer describes it.
    for (std::size_t i = 0; i < table.entries.size();) {
      Entry& old = *table.entries[i];
      if (old.source == source && old.use == use) {
        unlink(old, nullptr, graveyard);
      } else {
        ++i;
      }
    }
    if (table.entries.size() >= kMaxLayouts) {
      const auto oldest = std::min_element(
          table.entries.begin(), table.entries.end(),
          [](const std::shared_ptr<Entry>& a, const std::shared_ptr<Entry>& b) { return a->last_use < b->last_use; });
      unlink(**oldest, nullptr, graveyard);
    }
    table.entries.reserve(kMaxLayouts);
    entry->last_use = ++table.clock;
    table.entries.push_back(entry);
    for (PyObject* dict : entry->items) {
      std::vector<Entry*>& readers = table.readers[dict];
      if (readers.empty()) watch(dict, true);
      readers.push_back(entry.get());
    }
    entry_ = std::move(entry);
  } catch (const std::bad_alloc&) {
    // No room to remember this recipe: it is read afresh, as an uncached one. An entry half
    // registered is taken out again.
    if (entry_ == nullptr) {
      const MutexLock held(table.lock);
      for (std::size_t i = 0; i < table.entries.size(); ++i) {
        if (table.entries[i]->source == source && table.entries[i]->use == use && !table.entries[i]->layout) {
          unlink(*table.entries[i], nullptr, graveyard);
          break;
        }
      }
    }
  }
}

Compiling::~Compiling() {
  if (entry_ == nullptr) return;
  Graveyard graveyard;
  {
    const MutexLock held(table.lock);
    if (entry_->live && !entry_->layout) unlink(*entry_, nullptr, graveyard);
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
    }
  }
  // Spoiled: `layout` goes here, outside the lock.
}

}  // namespace tessel::recipe
