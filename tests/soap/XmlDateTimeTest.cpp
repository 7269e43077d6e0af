#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/Errors.h"
#include "soap/ROXMLDateTime.h"

namespace qit {
namespace {

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int millisecond = 0) {
  return TDateTime::Encode({year, month, day, hour, minute, second, millisecond});
}

TEST(XmlDateTime, ReadsTheAcceptedForms) {
  struct Case {
    std::string text;
    TDateTime expected;
  };
  const std::vector<Case> cases = {
      {"2024-03-01T08:30:00", At(2024, 3, 1, 8, 30)},
      {"2024-03-01", At(2024, 3, 1)},
      {"08:30:00", At(1899, 12, 30, 8, 30)},
      {"2024-03-01 08:30:00", At(2024, 3, 1, 8, 30)},  // separators are not examined
      {"2024\u00e903-01T08:30:00", At(2024, 3, 1, 8, 30)},  // 19 characters, 20 bytes
      {"2024-03-01T08:30:00Z", At(2024, 3, 1, 8, 30)},
      {"2024-03-01T08:30:00-03:00", At(2024, 3, 1, 11, 30)},
      {"2024-03-01T08:30:00+02", At(2024, 3, 1, 6, 30)},
      {"2024-03-01T08:30:00+05:45", At(2024, 3, 1, 2, 45)},
      {"2024-03-01T22:30:00-03:00", At(2024, 3, 2, 1, 30)},  // the offset may cross midnight
      {"2024-03-01T08:30:00.250Z", At(2024, 3, 1, 8, 30, 0, 250)},
      {"2024-03-01T08:30:00.5", At(2024, 3, 1, 8, 30, 0, 500)},
      {"2024-03-01T08:30:00.123", At(2024, 3, 1, 8, 30, 0, 123)},
      {"2024-03-01T08:30:00.5-03:00", At(2024, 3, 1, 11, 30, 0, 500)},
      {"2024-03-01T08:30:00.", At(2024, 3, 1, 8, 30)},  // a lone point is no fraction
      {"2024-03-01T08:30:00xyz", At(2024, 3, 1, 8, 30)},
      {"2024-03-+1T08:+0:00", At(2024, 3, 1, 8, 0)},  // a piece with a sign is still an integer
  };
  for (const Case& c : cases) {
    const TDateTime read = XmlToDateTime(c.text);
    EXPECT_NEAR(read.Days(), c.expected.Days(), 0.0001 / 86400) << c.text << " read as " << read.ToString();
  }
}

TEST(XmlDateTime, ReportsTheFirstPieceThatFails) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"2024-13-01T00:00:00", "Invalid argument to date encode"},
      {"2023-02-29", "Invalid argument to date encode"},
      {"2024-03-01T24:00:00", "Invalid argument to time encode"},
      {"08:61:00", "Invalid argument to time encode"},
      {"abcd-03-01T00:00:00", "'abcd' is not a valid integer value"},
      {"", "'' is not a valid integer value"},
      {"2024-03-01T08:30", "'' is not a valid integer value"},
      {"2024-03-0", "Invalid argument to date encode"},  // the day is the one digit left, 0
      {"2024-03-01T08:30:00.5x", "'5x' is not a valid integer value"},
      {"2024-03-01T08:30:00+ab", "'ab' is not a valid integer value"},
      // Pieces are cut by characters, never inside one; the time form is read in order.
      {"2024-0\u00e9-01T00:00:00", "'0\u00e9' is not a valid integer value"},
      {"1\u00e9:00:00", "'1\u00e9' is not a valid integer value"},
      {"12:cd:ef", "'cd' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    try {
      XmlToDateTime(c.text);
      ADD_FAILURE() << "no error for '" << c.text << "'";
    } catch (const EConvertError& error) {
      EXPECT_EQ(error.Message(), c.message) << c.text;
      EXPECT_EQ(error.ClassName(), "EConvertError");
    }
  }
}

TEST(XmlDateTime, WritesWithoutFractionOrZone) {
  EXPECT_EQ(DateTimeToXml(At(2024, 3, 1, 8, 30, 5, 999)), "2024-03-01T08:30:05");
  EXPECT_EQ(DateTimeToXml(TDateTime()), "1899-12-30T00:00:00");
  EXPECT_EQ(DateTimeToXml(At(2024, 12, 31, 23, 59, 59)), "2024-12-31T23:59:59");
}

}  // namespace
}  // namespace qit
