// Only carries Versioned16.rc.
int main(void) { return 0; }
