/* A shared library without a module descriptor. */
int not_a_plugin(void) { return 1; }
