// Attributes for clang's thread-safety analysis (-Wthread-safety). They name the lock
// type as a capability, the fields each lock guards, the locks an operation needs or must
// not hold, and the order in which locks are taken, so that the compiler reports an
// unguarded access or an inverted order. With compilers that do not know them (GCC) the
// macros expand to nothing.
#pragma once

#if defined(__clang__)
#define OVR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OVR_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks ("mutex" in the analysis' messages).
#define OVR_CAPABILITY(x) OVR_THREAD_ANNOTATION(capability(x))
// On a class: an RAII guard that holds a lock for its lifetime.
#define OVR_SCOPED_CAPABILITY OVR_THREAD_ANNOTATION(scoped_lockable)

// On a field: read or written only while the lock is held.
#define OVR_GUARDED_BY(x) OVR_THREAD_ANNOTATION(guarded_by(x))
// On a pointer field: what it points to is accessed only while the lock is held.
#define OVR_PT_GUARDED_BY(x) OVR_THREAD_ANNOTATION(pt_guarded_by(x))

// On a lock: the order in which locks are taken when several are held.
#define OVR_ACQUIRED_BEFORE(...) OVR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define OVR_ACQUIRED_AFTER(...) OVR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// On a function: the caller must hold (or must not hold) the locks.
#define OVR_REQUIRES(...) OVR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OVR_EXCLUDES(...) OVR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function: it takes, releases or tries to take the locks (the lock type's own
// operations and the guards' constructors and destructors).
#define OVR_ACQUIRE(...) OVR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OVR_RELEASE(...) OVR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OVR_TRY_ACQUIRE(...) OVR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// On a function: it returns a reference to the named lock.
#define OVR_RETURN_CAPABILITY(x) OVR_THREAD_ANNOTATION(lock_returned(x))
// On a function: tells the analysis that the lock is held from here on (checked at run
// time by the caller's own logic).
#define OVR_ASSERT_CAPABILITY(x) OVR_THREAD_ANNOTATION(assert_capability(x))

// On a function whose locking the analysis cannot follow (a lock taken in one function
// and released in another); say why beside each use.
#define OVR_NO_THREAD_SAFETY_ANALYSIS OVR_THREAD_ANNOTATION(no_thread_safety_analysis)
