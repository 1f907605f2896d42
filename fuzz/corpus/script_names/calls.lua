Out = Stats.Mean(a, b) * 2
x = Util:Sum(1) + Keys["First"] + t.k
local Stats = {}
y = Stats.Max
