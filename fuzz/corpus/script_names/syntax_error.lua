Out = Stats.Mean(a)
if then
