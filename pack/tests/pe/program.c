/* A Windows program that does nothing: the tests read its PE headers and version resource. */
int main(void) { return 0; }
