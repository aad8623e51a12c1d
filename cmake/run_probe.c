/* Exits 0 when this machine can run programs of the build's width. */
int main(void) { return 0; }
