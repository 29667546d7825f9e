// Whether the test program runs under Wine rather than Windows or the native stand-in. Only for
// the few checks where Wine is known to differ from Windows; each names the difference.
#pragma once

namespace movra::test {

bool runningUnderWine();

}  // namespace movra::test
