// The zarvelnote program.
int main() { return 0; }
