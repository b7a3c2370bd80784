// dorvex-app: the desktop application.
int main() { return 0; }
