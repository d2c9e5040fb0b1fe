// cassasync: the back-office synchronisation service (placeholder until the worker lands).
int main() { return 0; }
