// What a resolution may do with what it learns.
#pragma once

namespace recursor {

struct ResolutionPolicy {
    bool validate_answers { true };
    bool cache_answers { true };
    bool cache_delegations { true };

    // DNSSEC key and signer fetches: neither validated nor cached.
    static constexpr ResolutionPolicy helper() { return { false, false, false }; }
    // Client questions under cache_strategy = none: validated, nothing kept.
    static constexpr ResolutionPolicy uncached() { return { true, false, false }; }
};

} // namespace recursor
