// The process-wide worker pool: one thread per CPU the process may run on,
// created on first use and shared by every data-parallel loop of the
// library. Work submitted from inside a job runs on the same pool, with the
// submitting worker taking part, so nesting neither deadlocks nor starts
// extra threads. A forked child abandons the parent's pool and builds its
// own on first use.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace skarvo::util {

/// Number of worker threads of the pool (0 when no thread could be started,
/// in which case loops run on the calling thread). Creates the pool.
std::size_t pool_worker_count();

namespace detail {
using ItemFn = void (*)(void* ctx, std::size_t index);
void run_parallel(std::size_t count, ItemFn fn, void* ctx);
}  // namespace detail

/// Calls body(i) once for every i in [0, count) on the worker pool and
/// returns when all calls are done. Items may run in any order and on any
/// thread, so each must write only its own output. If a call throws, items
/// not yet started are skipped and the exception of the lowest failed index
/// is rethrown here once every running item has finished; nothing escapes a
/// worker thread.
template <class F>
void parallel_for(std::size_t count, F&& body) {
    using Body = std::remove_reference_t<F>;
    auto call = [](void* ctx, std::size_t i) { (*static_cast<Body*>(ctx))(i); };
    detail::run_parallel(count, call, const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

}  // namespace skarvo::util
