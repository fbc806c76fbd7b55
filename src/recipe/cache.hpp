// Compiled layouts: what the packer and the unpacker make of a recipe, kept between calls.
//
// A recipe is a list of dicts the caller may change at any time, so a layout is looked up by the
// identity of the list and checked against the identities of its items on every call, and every
// item dict it was compiled from is watched with the interpreter's dict watcher: any change to one
// (except a new `value`, which no layout holds), its clearing or its deallocation drops the
// layouts built from it. The cache holds no reference to a recipe: a recipe its caller drops
// drops its layouts as its dicts go.
//
// Only recipes whose reading runs no code of the caller's are compiled (an exact list or tuple of
// plain dicts with exact values, see fixed_layout), and a layout is published only by a call that
// succeeded with it: a recipe that fails is read afresh on every call, by the same code as before.
//
// Bounded to a few dozen layouts, least recently used out. Lookups, compilations and watcher
// callbacks may run on many threads at once: one mutex guards the table, and nothing under it
// runs Python code or releases a Python object. Without a free watcher slot the cache stays off.
//
// On free-threaded builds each thread also keeps the few layouts it used last in a table of its
// own, checked against the shared one by an atomic flag that unlinking clears: a call served from
// it takes no lock and writes nothing another thread reads, so threads sharing a recipe do not
// contend. The shared table's use stamps are refreshed from there now and then, for eviction.
//
// A packer call on a shared list reads its item dicts after the list's lock is let go, without
// holding them (two contended reference count changes a dict and a call). Instead its thread
// marks a reading window in its own table; a watched dict deallocated while any thread's window
// is open is resurrected by the watcher and let go once every such window has closed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "python/convert.hpp"
#include "python/py_ref.hpp"

namespace tessel::recipe {

// A compiled layout. The packer and the unpacker derive their own; never changed once published.
class Layout {
 public:
  virtual ~Layout() = default;
};

enum class Use : std::uint8_t { pack, unpack };

// Takes a dict watcher slot for the cache, once, while the module is built. Without one the cache
// stays off, silently: every call then reads its recipe as if it were new.
void start_layout_cache() noexcept;

struct Entry;
struct FrontSlot;
struct Front;

// What the caller reads after the lookup: the packet only (the unpacker), or the item dicts too
// (the packer reads their values).
enum class Reading : std::uint8_t { layout, items };

// A layout found for a call.
class Found {
 public:
  Found() noexcept = default;
  Found(Found&& other) noexcept;
  Found& operator=(Found&&) = delete;
  ~Found();

  explicit operator bool() const noexcept { return layout_ != nullptr; }
  [[nodiscard]] const Layout& layout() const noexcept { return *layout_; }
  // Whether the recipe's dicts are still as the layout read them. A call that reads values out of
  // the dicts after finding the layout asks this once it has them: without the GIL another thread
  // may change an item meanwhile, and values of its new state must not meet the old layout. With
  // the GIL nothing runs between the two, and the answer is always yes.
  [[nodiscard]] bool still_current() const noexcept;
  // The calling thread's own object for this layout, kept beside it for the thread's later calls
  // (free-threaded builds: objects a thread made itself take no shared reference counting); null
  // until kept, and always on other builds or when the thread has no room for one.
  [[nodiscard]] PyObject* local() const noexcept;
  void keep_local(python::PyRef object) const noexcept;
  // Free-threaded builds, a list read in place and found by find_layout_and_items: the item dicts
  // the layout was found for, which stay readable after the list's lock is let go until
  // end_reading(), however the list changes meanwhile (a dict the list drops is kept alive until
  // then). Null otherwise: the caller then holds the items before it reads them. Nothing between
  // the lookup and end_reading() may run Python code.
  [[nodiscard]] PyObject* const* items() const noexcept;
  void end_reading() noexcept;

 private:
  friend Found find_layout(Use use, const python::RecipeItems& recipe) noexcept;
  friend Found find_layout_and_items(Use use, const python::RecipeItems& recipe) noexcept;
  template <Reading reading>
  static Found find(Use use, const python::RecipeItems& recipe) noexcept;
  const Layout* layout_ = nullptr;
#ifdef Py_GIL_DISABLED
  std::shared_ptr<Entry> owned_;  // when the thread's own table has no slot for it
  Entry* entry_ = nullptr;
  FrontSlot* slot_ = nullptr;
  Front* reading_ = nullptr;      // the thread's table, while its items are read
  void open_items(const python::RecipeItems& recipe, Front& front) noexcept;
#else
  std::shared_ptr<const Layout> held_;
#endif
};

// The layout published for this recipe (the same list or tuple holding the same dicts), if any.
[[nodiscard]] Found find_layout(Use use, const python::RecipeItems& recipe) noexcept;
// The same, for a caller that reads the item dicts after the lookup (see Found::items).
[[nodiscard]] Found find_layout_and_items(Use use, const python::RecipeItems& recipe) noexcept;

// A layout being compiled. The recipe's dicts are watched before they are read, so a change made
// while they are read (by another thread, or a finalizer run by an allocation) spoils the entry
// and publish() drops the layout. Not started (started() false) when the cache is off or the
// recipe is not an exact list or tuple of exact dicts; then there is nothing to publish.
class Compiling {
 public:
  Compiling(Use use, const python::RecipeItems& recipe) noexcept;
  ~Compiling();
  Compiling(const Compiling&) = delete;
  Compiling& operator=(const Compiling&) = delete;

  [[nodiscard]] bool started() const noexcept { return entry_ != nullptr; }
  // Whether no item dict changed since the entry started (see Found::still_current).
  [[nodiscard]] bool still_current() const noexcept;
  // Publishes the layout unless one of its dicts changed since the entry started.
  void publish(std::shared_ptr<const Layout> layout) noexcept;

 private:
  std::shared_ptr<Entry> entry_;
};

}  // namespace tessel::recipe
