#!/bin/sh
# The libraries start no threads and take no locks: a built shared library
# imports none of the functions that create a thread or wait for a lock
# (a function-local static with a dynamic initialiser counts: its guard is
# a lock).
set -eu
lib=$1
pattern='^(pthread_create|pthread_once|pthread_join|pthread_mutex_(timed)?lock|pthread_mutex_trylock|pthread_rwlock_(timed)?(rd|wr)lock|pthread_rwlock_try(rd|wr)lock|pthread_spin_(try)?lock|pthread_cond_(timed)?wait|pthread_barrier_wait|sem_(timed|try)?wait|thrd_create|mtx_(timed|try)?lock|call_once|__cxa_guard_acquire)$'
found=$(nm -D --undefined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | grep -E "$pattern" || true)
if [ -n "$found" ]; then
  echo "$lib imports thread or lock functions:" >&2
  echo "$found" >&2
  exit 1
fi
echo "$lib starts no threads and takes no locks"
