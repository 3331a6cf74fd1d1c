/* Linked into every program of the coverage build (tools/test --coverage)
 * with -Wl,--wrap=_exit and -Wl,--wrap=raise: a process that ends through
 * _exit (the fault path) or by a signal that it raises itself (the console's
 * signal trap) writes its counters too. Only exit() writes them by itself.
 * Before a raise the counters are written and then cleared, so that a process
 * that goes on (a handler that returns, or one that ends through _exit) adds
 * the rest instead of being skipped as dumped already. */
void __gcov_dump(void);
void __gcov_reset(void);
void __real__exit(int status) __attribute__((noreturn));
int __real_raise(int signal);

void __wrap__exit(int status) __attribute__((noreturn));
void __wrap__exit(int status) {
  __gcov_dump();
  __real__exit(status);
}

int __wrap_raise(int signal);
int __wrap_raise(int signal) {
  __gcov_dump();
  __gcov_reset();
  return __real_raise(signal);
}
