// The host's own library that happens to be called ToolKits.
int HostToolKitsVersion() {
  return 7;
}
