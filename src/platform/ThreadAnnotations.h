// Clang thread-safety annotations (after LevelDB's port/thread_annotations.h).
// They state which lock guards a member (GUARDED_BY) and which lock a function
// expects held (REQUIRES) or takes itself (EXCLUDES), so that a clang build
// with -Wthread-safety checks the rules the comments used to state. Under
// other compilers they expand to nothing.
//
// Thread safety: macros only; nothing here runs.
#ifndef ZN_PLATFORM_THREAD_ANNOTATIONS_H_
#define ZN_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define ZN_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define ZN_THREAD_ANNOTATION_(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) ZN_THREAD_ANNOTATION_(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY ZN_THREAD_ANNOTATION_(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) ZN_THREAD_ANNOTATION_(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) ZN_THREAD_ANNOTATION_(pt_guarded_by(x))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) ZN_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))
#endif
#ifndef ACQUIRED_AFTER
#define ACQUIRED_AFTER(...) ZN_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))
#endif
#ifndef REQUIRES
#define REQUIRES(...) ZN_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) ZN_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) ZN_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) ZN_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) ZN_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) ZN_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_GENERIC
#define RELEASE_GENERIC(...) ZN_THREAD_ANNOTATION_(release_generic_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) ZN_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) ZN_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) ZN_THREAD_ANNOTATION_(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) ZN_THREAD_ANNOTATION_(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS ZN_THREAD_ANNOTATION_(no_thread_safety_analysis)
#endif

#endif  // ZN_PLATFORM_THREAD_ANNOTATIONS_H_
