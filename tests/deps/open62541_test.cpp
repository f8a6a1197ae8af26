// open62541 as built by the set-up script: a client against a closed port
// fails with a status code instead of hanging or crashing.
#include <gtest/gtest.h>

#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/plugin/log_stdout.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// A loopback port that nothing listens on: bound, then released.
int closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

TEST(Open62541, ClientFailsCleanlyAgainstAClosedPort) {
  const int port = closed_port();
  ASSERT_GT(port, 0);
  UA_Client* client = UA_Client_new();
  ASSERT_NE(client, nullptr);
  UA_ClientConfig* config = UA_Client_getConfig(client);
  UA_ClientConfig_setDefault(config);
  config->timeout = 2000;
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(port);
  const UA_StatusCode rc = UA_Client_connect(client, url.c_str());
  EXPECT_NE(rc, UA_STATUSCODE_GOOD);
  EXPECT_STRNE(UA_StatusCode_name(rc), "");
  UA_Client_delete(client);
}

}  // namespace
