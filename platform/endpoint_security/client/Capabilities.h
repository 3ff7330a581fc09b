// Whether this process holds a capability in its effective set: the rights a source needs are
// checked before it tries, so a refusal can say which right is missing.
#pragma once

namespace platform::es {

bool hasEffectiveCapability(int capability);

}  // namespace platform::es
