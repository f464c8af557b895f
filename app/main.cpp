// Not yet the program: the dialog lands next.
int main() { return 0; }
