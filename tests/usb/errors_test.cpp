// The libusb port's error table, row by row, and the public header's copy of it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "driver/libusb/errors.h"

namespace quorix::port::libusb {
namespace {

TEST(LibusbErrors, EachErrorAndTransferStatusHasItsWindowsCode) {
  const std::map<int, std::uint32_t> errors = {{LIBUSB_SUCCESS, 0},
                                               {LIBUSB_ERROR_IO, 1117},
                                               {LIBUSB_ERROR_INVALID_PARAM, 87},
                                               {LIBUSB_ERROR_ACCESS, 5},
                                               {LIBUSB_ERROR_NO_DEVICE, 1167},
                                               {LIBUSB_ERROR_NOT_FOUND, 2},
                                               {LIBUSB_ERROR_BUSY, 170},
                                               {LIBUSB_ERROR_TIMEOUT, 121},
                                               {LIBUSB_ERROR_OVERFLOW, 31},
                                               {LIBUSB_ERROR_PIPE, 31},
                                               {LIBUSB_ERROR_INTERRUPTED, 995},
                                               {LIBUSB_ERROR_NO_MEM, 8},
                                               {LIBUSB_ERROR_NOT_SUPPORTED, 50},
                                               {LIBUSB_ERROR_OTHER, 31}};
  ASSERT_EQ(ErrorTable().size(), errors.size()) << "one row per libusb error";
  for (const auto& [error, windows] : errors)
    EXPECT_EQ(WindowsErrorOf(error), windows) << libusb_error_name(error);
  EXPECT_EQ(WindowsErrorOf(-77), 31u) << "an error libusb adds later";

  const std::map<libusb_transfer_status, std::uint32_t> statuses = {
      {LIBUSB_TRANSFER_COMPLETED, 0},   {LIBUSB_TRANSFER_ERROR, 1117},
      {LIBUSB_TRANSFER_TIMED_OUT, 121}, {LIBUSB_TRANSFER_CANCELLED, 995},
      {LIBUSB_TRANSFER_STALL, 31},      {LIBUSB_TRANSFER_NO_DEVICE, 1167},
      {LIBUSB_TRANSFER_OVERFLOW, 31}};
  ASSERT_EQ(TransferStatusTable().size(), statuses.size());
  for (const auto& [status, windows] : statuses)
    EXPECT_EQ(WindowsErrorOfTransfer(status), windows) << libusb_error_name(status);
}

TEST(LibusbErrors, ThePublicHeaderDocumentsTheTableAsItIs) {
  std::ifstream header(QUORIX_PUBLIC_HEADER);
  ASSERT_TRUE(header.is_open());
  const std::regex line(R"(\*\s+(LIBUSB_(ERROR|TRANSFER)_[A-Z_]+)\s+(\d+)\s)");
  std::map<std::string, std::uint32_t> documented;
  for (std::string text; std::getline(header, text);) {
    std::smatch match;
    if (std::regex_search(text, match, line)) documented[match[1]] = std::stoul(match[3]);
  }
  // The table, named as libusb names the values in its header.
  const std::map<int, std::string> error_names = {
      {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO"},
      {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM"},
      {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS"},
      {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE"},
      {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND"},
      {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY"},
      {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT"},
      {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW"},
      {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE"},
      {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED"},
      {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM"},
      {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED"},
      {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER"}};
  const std::map<int, std::string> status_names = {
      {LIBUSB_TRANSFER_ERROR, "LIBUSB_TRANSFER_ERROR"},
      {LIBUSB_TRANSFER_TIMED_OUT, "LIBUSB_TRANSFER_TIMED_OUT"},
      {LIBUSB_TRANSFER_CANCELLED, "LIBUSB_TRANSFER_CANCELLED"},
      {LIBUSB_TRANSFER_STALL, "LIBUSB_TRANSFER_STALL"},
      {LIBUSB_TRANSFER_NO_DEVICE, "LIBUSB_TRANSFER_NO_DEVICE"},
      {LIBUSB_TRANSFER_OVERFLOW, "LIBUSB_TRANSFER_OVERFLOW"}};
  std::size_t rows = 0;
  for (const auto& [table, names] :
       {std::pair{ErrorTable(), &error_names}, std::pair{TransferStatusTable(), &status_names}}) {
    for (const ErrorRow& row : table) {
      if (row.windows == 0) continue;  // success is not listed
      const std::string& name = names->at(row.libusb);
      ASSERT_TRUE(documented.contains(name)) << name;
      EXPECT_EQ(documented[name], row.windows) << name;
      ++rows;
    }
  }
  EXPECT_EQ(documented.size(), rows) << "the header lists no row that the port lacks";
}

}  // namespace
}  // namespace quorix::port::libusb
