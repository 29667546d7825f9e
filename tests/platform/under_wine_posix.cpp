#include "tests/platform/under_wine.h"

namespace movra::test {

bool runningUnderWine() {
    return false;
}

}  // namespace movra::test
