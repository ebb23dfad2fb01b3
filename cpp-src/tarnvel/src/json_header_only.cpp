// Boost.JSON's implementation, for builds that find Boost's headers but not
// its compiled JSON library (the MinGW cross-build): compiled into tarnvel
// there and nowhere else.
#include <boost/json/src.hpp>
