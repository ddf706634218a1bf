#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  CLI::App app{"Tolvar for SCO OpenServer: read-only recovery of HTFS and EAFS volumes", "tolvar"};
  app.require_subcommand(1);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
