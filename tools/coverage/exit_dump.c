/* Linked into every program of the coverage build (tools/test --coverage)
 * with -Wl,--wrap=_exit: a process that ends through _exit, as the program's
 * fault path does, writes its counters too. Only exit() writes them by itself. */
void __gcov_dump(void);
void __real__exit(int status) __attribute__((noreturn));

void __wrap__exit(int status) __attribute__((noreturn));
void __wrap__exit(int status) {
  __gcov_dump();
  __real__exit(status);
}
