// Program entry of Kelvra Log Server. The executable reads no command-line arguments: everything
// comes from LogServer.conf beside it.
int main() {
  return 0;
}
